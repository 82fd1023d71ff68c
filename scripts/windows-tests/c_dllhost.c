/* A C host's view of velmor.dll as C#, LabVIEW or MATLAB have it: no import
 * library, only LoadLibrary and GetProcAddress by undecorated name. Finds
 * every function of the C interface, then runs the calls that need no
 * device: versions, status names, NULL and out-of-range errors with their
 * texts (exceptions thrown and caught inside the DLL), the log callback.
 * Exit status: the number of failed checks.
 */
#include <velmor/velmor_c.h>

#include <windows.h>

#include <stdio.h>
#include <string.h>

/* Every function the header declares, listed by the build. */
static const char* const FUNCTIONS[] = {
#include "velmor_c_functions.inc"
};

static int gFailures = 0;
static HMODULE gLibrary = NULL;

static __typeof__(&velmor_c_api_version) pApiVersion;
static __typeof__(&velmor_library_version) pLibraryVersion;
static __typeof__(&velmor_status_name) pStatusName;
static __typeof__(&velmor_last_error) pLastError;
static __typeof__(&velmor_set_log_handler) pSetLogHandler;
static __typeof__(&velmor_create) pCreate;
static __typeof__(&velmor_destroy) pDestroy;
static __typeof__(&velmor_connect) pConnect;
static __typeof__(&velmor_device_count) pDeviceCount;
static __typeof__(&velmor_device_serial) pDeviceSerial;
static __typeof__(&velmor_set_trigger_mode) pSetTriggerMode;
static __typeof__(&velmor_stop_measurement) pStopMeasurement;

static void check(int ok, const char* what, int line)
{
    if (!ok) {
        fprintf(stderr, "c_dllhost.c:%d: check failed: %s\n", line, what);
        ++gFailures;
    }
}
#define CHECK(condition) check((condition) ? 1 : 0, #condition, __LINE__)

static void checkError(int32_t status, int32_t expected, const char* text, int line)
{
    check(status == expected, pStatusName(expected), line);
    if (strcmp(pLastError(), text) != 0) {
        fprintf(stderr, "c_dllhost.c:%d: last error \"%s\", expected \"%s\"\n", line, pLastError(), text);
        ++gFailures;
    }
}
#define CHECK_ERROR(call, expected, text) checkError((call), (expected), (text), __LINE__)

/* GetProcAddress hands out a generic function pointer; the typed pointer is
   copied from it bit for bit. */
static void load(void* typed, size_t size, const char* name)
{
    FARPROC address = GetProcAddress(gLibrary, name);
    CHECK(address != NULL);
    memcpy(typed, &address, size);
}
#define LOAD(pointer, name) load(&(pointer), sizeof(pointer), name)

static char gLastLine[256];
static int32_t gLastStream = -1;

static void VELMOR_CALL recordLine(void* user, int32_t stream, const char* line)
{
    (void)user;
    gLastStream = stream;
    strncpy(gLastLine, line, sizeof gLastLine - 1);
}

int main(void)
{
    size_t i;
    velmor_manager* manager = NULL;
    uint32_t count = 7;
    uint32_t needed = 0;
    char serial[16];

    gLibrary = LoadLibraryA("velmor.dll");
    if (gLibrary == NULL) {
        fprintf(stderr, "LoadLibrary(velmor.dll) failed: error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    for (i = 0; i < sizeof FUNCTIONS / sizeof FUNCTIONS[0]; ++i) {
        if (GetProcAddress(gLibrary, FUNCTIONS[i]) == NULL) {
            fprintf(stderr, "velmor.dll does not export %s undecorated\n", FUNCTIONS[i]);
            ++gFailures;
        }
    }
    LOAD(pApiVersion, "velmor_c_api_version");
    LOAD(pLibraryVersion, "velmor_library_version");
    LOAD(pStatusName, "velmor_status_name");
    LOAD(pLastError, "velmor_last_error");
    LOAD(pSetLogHandler, "velmor_set_log_handler");
    LOAD(pCreate, "velmor_create");
    LOAD(pDestroy, "velmor_destroy");
    LOAD(pConnect, "velmor_connect");
    LOAD(pDeviceCount, "velmor_device_count");
    LOAD(pDeviceSerial, "velmor_device_serial");
    LOAD(pSetTriggerMode, "velmor_set_trigger_mode");
    LOAD(pStopMeasurement, "velmor_stop_measurement");
    if (gFailures != 0) {
        return gFailures;
    }

    printf("velmor.dll %s, C interface %u\n", pLibraryVersion(), (unsigned)pApiVersion());
    CHECK(pApiVersion() == VELMOR_C_API_VERSION);
    CHECK(strcmp(pStatusName(VELMOR_ERROR_DEVICE), "VELMOR_ERROR_DEVICE") == 0);
    CHECK(strcmp(pLastError(), "") == 0);

    CHECK_ERROR(pCreate(NULL), VELMOR_ERROR_INVALID_ARGUMENT, "velmor_create: out is NULL");
    CHECK_ERROR(pConnect(NULL), VELMOR_ERROR_INVALID_ARGUMENT, "velmor_connect: manager is NULL");
    CHECK(pCreate(&manager) == VELMOR_OK && manager != NULL);
    CHECK(pDeviceCount(manager, &count) == VELMOR_OK && count == 0);
    CHECK_ERROR(pDeviceSerial(manager, 0, serial, sizeof serial, &needed), VELMOR_ERROR_INDEX_OUT_OF_RANGE,
                "velmor_device_serial: device_index 0 is out of range: no device is connected");
    CHECK_ERROR(pSetTriggerMode(manager, VELMOR_TRIGGER_SOFTWARE), VELMOR_ERROR_NO_DEVICE, "No devices connected");
    CHECK_ERROR(pSetTriggerMode(manager, 5), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_set_trigger_mode: mode 5 is neither VELMOR_TRIGGER_SOFTWARE nor VELMOR_TRIGGER_EXTERNAL");

    CHECK(pSetLogHandler(recordLine, NULL) == VELMOR_OK);
    CHECK(pStopMeasurement(manager) == VELMOR_OK);
    CHECK(pSetLogHandler(NULL, NULL) == VELMOR_OK);
    CHECK(gLastStream == VELMOR_LOG_ERROR && strcmp(gLastLine, "No devices connected to stop measurement.") == 0);

    CHECK(pDestroy(manager) == VELMOR_OK);
    FreeLibrary(gLibrary);
    if (gFailures != 0) {
        fprintf(stderr, "%d check(s) failed\n", gFailures);
    }
    return gFailures;
}
