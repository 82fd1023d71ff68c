/* A program built the way an MSVC toolchain builds it: clang in MSVC mode
 * (x86_64-pc-windows-msvc, COFF objects, the Microsoft ABI), linked by
 * lld-link against the import library velmor.lib. Debian has neither the
 * MSVC C runtime nor the Windows SDK's import libraries, so the program uses
 * no C runtime: its entry point is its own, and the three kernel32 functions
 * it needs come from an import library made from kernel32.def.
 * Calls the C interface functions that need no device and prints one line.
 * Exit status: the number of failed checks.
 */
#include <velmor/velmor_c.h>

__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long handle);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

#define STD_OUTPUT_HANDLE ((unsigned long)-11)

static unsigned int gFailures = 0;

static unsigned long textLength(const char* text)
{
    unsigned long length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

static void print(const char* text)
{
    unsigned long written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, textLength(text), &written, 0);
}

static int sameText(const char* left, const char* right)
{
    while (*left != '\0' && *left == *right) {
        ++left;
        ++right;
    }
    return *left == *right;
}

static void check(int ok, const char* what)
{
    if (!ok) {
        print("msvc_host: check failed: ");
        print(what);
        print("\n");
        ++gFailures;
    }
}

void velmorMsvcHostEntry(void)
{
    velmor_manager* manager = 0;
    uint32_t count = 99;
    check(velmor_c_api_version() == VELMOR_C_API_VERSION, "velmor_c_api_version");
    check(sameText(velmor_library_version(), VELMOR_EXPECTED_VERSION), "velmor_library_version");
    check(sameText(velmor_status_name(VELMOR_ERROR_DEVICE), "VELMOR_ERROR_DEVICE"), "velmor_status_name");
    check(velmor_create(&manager) == VELMOR_OK && manager != 0, "velmor_create");
    check(velmor_device_count(manager, &count) == VELMOR_OK && count == 0, "velmor_device_count");
    check(velmor_device_count(0, &count) == VELMOR_ERROR_INVALID_ARGUMENT && velmor_last_error()[0] != '\0',
          "velmor_device_count(NULL) and velmor_last_error");
    check(velmor_destroy(manager) == VELMOR_OK, "velmor_destroy");
    print("msvc_host: velmor ");
    print(velmor_library_version());
    print(gFailures == 0 ? " through velmor.lib: ok\n" : " through velmor.lib: FAILED\n");
    ExitProcess(gFailures);
}
