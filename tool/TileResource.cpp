// The tile picture as a resource of the module, for systems whose modules
// have no resources of their own: a table in the host's resource section
// holding the bitmap file without its 14-byte file header, the form a Windows
// bitmap resource takes. The section is allocated and marked retained so that
// neither the linker's garbage collection nor stripping drops it.
#include "HostModule.h"
#include "Tile.h"

#if !defined(TESSELLON_TILE_BMP)
#  error "TESSELLON_TILE_BMP must name the tile bitmap file"
#endif

#define TESSELLON_STRING2(x) #x
#define TESSELLON_STRING(x) TESSELLON_STRING2(x)

__asm__(".pushsection " HOST_RESOURCE_SECTION ",\"aR\",@progbits\n"
        ".balign 8\n"
        ".Ltessellon_rsrc_table:\n"
        ".ascii \"" HOST_RESOURCE_MAGIC "\"\n"
        ".long .Ltessellon_rsrc_end - .Ltessellon_rsrc_table\n"
        ".long 1\n"
        ".long 0\n"
        ".long " TESSELLON_STRING(HOST_RESOURCE_BITMAP) ", " TESSELLON_STRING(TESSELLON_TILE_BITMAP) "\n"
        ".long .Ltessellon_rsrc_tile - .Ltessellon_rsrc_table\n"
        ".long .Ltessellon_rsrc_tile_end - .Ltessellon_rsrc_tile\n"
        ".balign 8\n"
        ".Ltessellon_rsrc_tile:\n"
        ".incbin \"" TESSELLON_TILE_BMP "\", 14\n"
        ".Ltessellon_rsrc_tile_end:\n"
        ".balign 8\n"
        ".Ltessellon_rsrc_end:\n"
        ".popsection\n");
