// The tile picture's resource number: the registration record names it and
// the module carries the bitmap under it (resources/Tessellon.rc says the
// same for the Windows build).
#pragma once

#define TESSELLON_TILE_BITMAP 101
