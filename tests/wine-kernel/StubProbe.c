/* The stub check's control (never a driver): calls a routine of Wine's kernel from a plain
 * process, where it prints what it prints in the kernel host.
 *
 *   wt_stub_probe.exe returning   KeInsertQueueDpc, a stub that returns (the DPC never runs)
 *   wt_stub_probe.exe semi        KeInitializeDpc, a "semi-stub" that returns
 *   wt_stub_probe.exe aborting    KeRemoveQueueDpc, a stub that ends the process */
#include <windows.h>

#include <stdio.h>
#include <string.h>

typedef VOID(WINAPI* InitializeDpc)(void* dpc, void* routine, void* context);
typedef BOOLEAN(WINAPI* QueueDpc)(void* dpc, void* argument1, void* argument2);

static VOID WINAPI NeverRuns(void* dpc, void* context, void* argument1, void* argument2) {
    (void)dpc, (void)context, (void)argument1, (void)argument2;
}

int main(int argc, char** argv) {
    /* Larger than a KDPC on x64. */
    static ULONGLONG dpc[16];
    HMODULE kernel = LoadLibraryA("ntoskrnl.exe");
    InitializeDpc initialize =
        kernel ? (InitializeDpc)(void*)GetProcAddress(kernel, "KeInitializeDpc") : NULL;
    QueueDpc insert = kernel ? (QueueDpc)(void*)GetProcAddress(kernel, "KeInsertQueueDpc") : NULL;
    QueueDpc remove = kernel ? (QueueDpc)(void*)GetProcAddress(kernel, "KeRemoveQueueDpc") : NULL;
    if (argc != 2 || initialize == NULL || insert == NULL || remove == NULL) {
        printf("usage: wt_stub_probe.exe returning|semi|aborting (and Wine's ntoskrnl.exe)\n");
        return 2;
    }
    if (strcmp(argv[1], "returning") == 0)
        printf("KeInsertQueueDpc returned %d\n", insert(dpc, NULL, NULL));
    else if (strcmp(argv[1], "semi") == 0)
        initialize(dpc, (void*)NeverRuns, NULL);
    else if (strcmp(argv[1], "aborting") == 0)
        remove(dpc, NULL, NULL);
    return 0;
}
