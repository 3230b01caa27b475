// wt_edid: sets the EDID of Wine's monitor inside a running Wine session, for tests and the
// demo. Run it in the session, before the program that should see the monitor:
//
//   wt_edid supported | supported256 | unsupported | oversized | remove | hex <HEX>
#include "EdidInjection.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(
            stderr, "usage: wt_edid supported|supported256|unsupported|oversized|remove|hex HEX\n");
        return 2;
    }
    const char* what = argv[1];
    std::vector<BYTE> block;
    if (std::strcmp(what, "remove") == 0) {
        LONG result = edid::Remove();
        std::printf("EDID removed: %ld\n", static_cast<long>(result));
        return result == ERROR_SUCCESS ? 0 : 1;
    }
    if (std::strcmp(what, "supported") == 0)
        block = edid::Supported();
    else if (std::strcmp(what, "supported256") == 0)
        block = edid::Supported(1);
    else if (std::strcmp(what, "unsupported") == 0)
        block = edid::Unsupported();
    else if (std::strcmp(what, "oversized") == 0)
        block = edid::Supported(2);
    else if (std::strcmp(what, "hex") == 0 && argc > 2 && edid::ParseHex(argv[2], block))
        ;
    else {
        std::fprintf(stderr, "wt_edid: unknown request %s\n", what);
        return 2;
    }
    LONG result = edid::Inject(block);
    std::printf("EDID of %u bytes set: %ld\n", static_cast<unsigned>(block.size()),
                static_cast<long>(result));
    return result == ERROR_SUCCESS ? 0 : 1;
}
