// The tile picture as a resource of the module, for systems whose modules
// have no resources of their own: the bitmap file without its 14-byte file
// header, the form a Windows bitmap resource takes, in the module's read-only
// data. The labels are the assembler's own, so no symbol names the bytes.
#include <cstdint>

#include "HostModule.h"
#include "Tile.h"

#if !defined(TESSELLON_TILE_BMP)
#  error "TESSELLON_TILE_BMP must name the tile bitmap file"
#endif

__asm__(".pushsection .rodata\n"
        ".balign 8\n"
        ".Ltessellon_tile:\n"
        ".incbin \"" TESSELLON_TILE_BMP "\", 14\n"
        ".Ltessellon_tile_end:\n"
        ".balign 4\n"
        ".Ltessellon_tile_size:\n"
        ".long .Ltessellon_tile_end - .Ltessellon_tile\n"
        ".popsection\n");

namespace {

extern const uint8_t TileBytes[] __asm__(".Ltessellon_tile");
extern const uint32_t TileSize __asm__(".Ltessellon_tile_size");

ModuleResource TileResource(HOST_RESOURCE_BITMAP, TESSELLON_TILE_BITMAP, TileBytes, TileSize);

}  // namespace
