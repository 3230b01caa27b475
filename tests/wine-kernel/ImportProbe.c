/* wt_import_probe.exe: never run, only read by the import check's control test. It imports by
 * ordinal (one that Wine's ws2_32 exports, one it does not) and delay-imports a stub of Wine's
 * hal, the three kinds of entry a name-only reading of the plain import table would miss. */
#include <windows.h>

int Ordinal115(void);                                       /* ws2_32 #115 */
int Ordinal9999(void);                                      /* ws2_32 has none */
void KeStallExecutionProcessor(unsigned long microseconds); /* hal, delay-loaded */

int main(int argc, char** argv) {
    (void)argv;
    /* Referenced so that the link keeps the imports; no caller ever passes this many. */
    if (argc > 1000) {
        KeStallExecutionProcessor(1);
        return Ordinal115() + Ordinal9999();
    }
    return 0;
}
