// The product-state query bound the plain way: msi.dll in the ordinary import table (by ordinal
// 112), resolved by the loader before any code runs, the program's own folder searched first.
#include <windows.h>
#include <msi.h>

#include <cstdio>

int main() {
    std::printf("product_state=%d\n",
                static_cast<int>(MsiQueryProductStateA("{5E0A7B21-3C94-4D6F-8A12-B7C4E9F03D58}")));
    std::fflush(stdout);
    return 0;
}
