/* The C interface from a program compiled as C, linked with the shared
 * library as a host links it. One group of checks per run:
 *
 *   c_api_test errors                       no device needed
 *   c_api_test <group> <path to velmor-sim> under velmor-sim with the devices
 *                                           of tests/capi/CMakeLists.txt
 *
 * Every check that fails prints its line and the library's last error; the
 * exit status is the number of failed checks (0: all passed).
 */
#define _POSIX_C_SOURCE 200809L

#include <velmor/velmor_c.h>

#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int gFailures = 0;

static void check(int ok, const char* what, int line)
{
    if (!ok) {
        fprintf(stderr, "c_api_test.c:%d: check failed: %s\n", line, what);
        ++gFailures;
    }
}
#define CHECK(condition) check((condition) ? 1 : 0, #condition, __LINE__)

/* The call must return `expected`; with a non-NULL `text` the last error
   must then read exactly so. */
static void checkStatus(int32_t status, int32_t expected, const char* text, const char* call, int line)
{
    if (status != expected) {
        fprintf(stderr, "c_api_test.c:%d: %s returned %s, expected %s; last error: %s\n", line, call,
                velmor_status_name(status), velmor_status_name(expected), velmor_last_error());
        ++gFailures;
    } else if (text != NULL && strcmp(velmor_last_error(), text) != 0) {
        fprintf(stderr, "c_api_test.c:%d: %s: last error \"%s\", expected \"%s\"\n", line, call, velmor_last_error(),
                text);
        ++gFailures;
    }
}
#define CHECK_OK(call) checkStatus((call), VELMOR_OK, NULL, #call, __LINE__)
#define CHECK_FAILS(call, expected, text) checkStatus((call), (expected), (text), #call, __LINE__)

static void sleepMs(long ms)
{
    struct timespec pause;
    pause.tv_sec = ms / 1000;
    pause.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&pause, NULL);
}

/* Waits up to `seconds` for *counter to reach `target`. */
static int waitFor(atomic_int* counter, int target, int seconds)
{
    int waited;
    for (waited = 0; waited < seconds * 100; ++waited) {
        if (atomic_load(counter) >= target) {
            return 1;
        }
        sleepMs(10);
    }
    return atomic_load(counter) >= target;
}

/* ---- Log lines, captured through the log callback. ---- */

#define MAX_LINES 4096
static pthread_mutex_t gLogMutex = PTHREAD_MUTEX_INITIALIZER;
static char* gLines[MAX_LINES];
static int gLineStreams[MAX_LINES];
static int gLineCount = 0;
static velmor_manager* gLogProbeManager = NULL;
static atomic_int gLogProbeStatus[3];

static void VELMOR_CALL recordLine(void* user, int32_t stream, const char* line)
{
    (void)user;
    if (gLogProbeManager != NULL && atomic_load(&gLogProbeStatus[0]) == 1) {
        uint32_t count = 0;
        atomic_store(&gLogProbeStatus[0], 2);
        atomic_store(&gLogProbeStatus[1], velmor_device_count(gLogProbeManager, &count));
        atomic_store(&gLogProbeStatus[2], velmor_set_log_handler(NULL, NULL));
    }
    pthread_mutex_lock(&gLogMutex);
    if (gLineCount < MAX_LINES) {
        gLines[gLineCount] = strdup(line);
        gLineStreams[gLineCount] = stream;
        ++gLineCount;
    }
    pthread_mutex_unlock(&gLogMutex);
}

static int loggedLine(int32_t stream, const char* line)
{
    int i;
    int found = 0;
    pthread_mutex_lock(&gLogMutex);
    for (i = 0; i < gLineCount && !found; ++i) {
        found = gLineStreams[i] == stream && strcmp(gLines[i], line) == 0;
    }
    pthread_mutex_unlock(&gLogMutex);
    return found;
}

static int loggedLineStartingWith(int32_t stream, const char* start)
{
    int i;
    int found = 0;
    pthread_mutex_lock(&gLogMutex);
    for (i = 0; i < gLineCount && !found; ++i) {
        found = gLineStreams[i] == stream && strncmp(gLines[i], start, strlen(start)) == 0;
    }
    pthread_mutex_unlock(&gLogMutex);
    return found;
}

static void forgetLines(void)
{
    int i;
    pthread_mutex_lock(&gLogMutex);
    for (i = 0; i < gLineCount; ++i) {
        free(gLines[i]);
    }
    gLineCount = 0;
    pthread_mutex_unlock(&gLogMutex);
}

/* ---- Measurement callbacks. ---- */

/* What the callbacks saw. Calls for the two devices may overlap. */
typedef struct Observed {
    velmor_manager* manager;
    atomic_int probed;
    atomic_int spectra[2];         /* by device: serial 20001, 20002 */
    atomic_int batches[2];
    atomic_int batchSpectra[2];
    atomic_int errors[2];
    atomic_int badShape;           /* a pixel count or array that does not fit */
    atomic_int insideCount;        /* status of velmor_device_count inside */
    atomic_int insideSerial;       /* status of velmor_device_serial inside */
    atomic_int insideForbidden;    /* calls refused with VELMOR_ERROR_IN_CALLBACK */
    atomic_int insideAllowed;      /* forbidden calls that were not refused */
    char errorMessage[256];
    atomic_int errorStatus;        /* velmor_error_callback_status inside the first error */
} Observed;

static void initObserved(Observed* observed, velmor_manager* manager)
{
    memset(observed, 0, sizeof *observed);
    observed->manager = manager;
}

static int deviceOf(const char* serial)
{
    return strcmp(serial, "20002") == 0 ? 1 : 0;
}

static uint32_t expectedPixels(const char* serial)
{
    return deviceOf(serial) == 1 ? 1024u : 2048u;
}

static void countRefusal(Observed* observed, int32_t status)
{
    atomic_fetch_add(status == VELMOR_ERROR_IN_CALLBACK ? &observed->insideForbidden : &observed->insideAllowed, 1);
}

/* Tries, once per run, what a callback may and may not do. */
static void probeFromInside(Observed* observed)
{
    uint32_t count = 0;
    uint32_t needed = 0;
    char serial[16];
    int32_t state = 0;
    uint32_t available = 0;
    if (atomic_exchange(&observed->probed, 1) != 0) {
        return;
    }
    atomic_store(&observed->insideCount, velmor_device_count(observed->manager, &count) == VELMOR_OK && count == 2 ? 1 : -1);
    atomic_store(&observed->insideSerial,
                 velmor_device_serial(observed->manager, 1, serial, sizeof serial, &needed) == VELMOR_OK &&
                         strncmp(serial, "2000", 4) == 0 ? 1 : -1);
    countRefusal(observed, velmor_stop_measurement(observed->manager));
    countRefusal(observed, velmor_disconnect(observed->manager));
    countRefusal(observed, velmor_destroy(observed->manager));
    countRefusal(observed, velmor_connect(observed->manager));
    countRefusal(observed, velmor_device_status(observed->manager, 0, &state, &available));
    countRefusal(observed, velmor_set_subtract_dark(observed->manager, 0, VELMOR_ALL_DEVICES));
}

static void VELMOR_CALL onSpectrum(void* user, const char* serial, const float* wavelengths, const float* spectrum,
                                   uint32_t pixelCount)
{
    Observed* observed = (Observed*)user;
    if (pixelCount != expectedPixels(serial) || wavelengths == NULL || spectrum == NULL ||
        !(wavelengths[0] < wavelengths[pixelCount - 1])) {
        atomic_fetch_add(&observed->badShape, 1);
    }
    probeFromInside(observed);
    atomic_fetch_add(&observed->spectra[deviceOf(serial)], 1);
}

static void VELMOR_CALL onBatch(void* user, const char* serial, const float* wavelengths, uint32_t pixelCount,
                                const float* spectra, uint32_t spectrumCount)
{
    Observed* observed = (Observed*)user;
    /* The last value of the last spectrum is readable: the block is whole. */
    volatile float last = spectrumCount > 0 ? spectra[spectrumCount * pixelCount - 1] : 0.0f;
    (void)last;
    if (pixelCount != expectedPixels(serial) || wavelengths == NULL || (spectrumCount > 0 && spectra == NULL)) {
        atomic_fetch_add(&observed->badShape, 1);
    }
    probeFromInside(observed);
    atomic_fetch_add(&observed->batchSpectra[deviceOf(serial)], (int)spectrumCount);
    atomic_fetch_add(&observed->batches[deviceOf(serial)], 1);
}

static void VELMOR_CALL onError(void* user, const char* serial, const char* message)
{
    Observed* observed = (Observed*)user;
    if (atomic_fetch_add(&observed->errors[deviceOf(serial)], 1) == 0 && deviceOf(serial) == 0) {
        strncpy(observed->errorMessage, message, sizeof observed->errorMessage - 1);
        atomic_store(&observed->errorStatus, velmor_error_callback_status());
    }
}

/* ---- Groups. ---- */

static void *failOnOtherThread(void* manager)
{
    velmor_connect(NULL);
    (void)manager;
    return NULL;
}

/* The library's own limits: 1 s exposure, 2 x averaged, 0.5 s delay. */
static void timeLimits(void)
{
    static const struct {
        int32_t kind, exposureUs, averaging, delayUs, count;
        int64_t limitMs;
    } cases[] = {
        {VELMOR_MEASURE_CONTINUOUS, 1000, 1, 0, 1, 5000},
        {VELMOR_MEASURE_CONTINUOUS, 1000000, 2, 500000, 99, 6500},
        {VELMOR_MEASURE_BATCH, 1000000, 2, 500000, 4, 15000},
        {VELMOR_MEASURE_BATCH, -5, -5, -5, -5, 5000},
    };
    int64_t limit = 0;
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        CHECK_OK(velmor_measurement_time_limit(cases[i].kind, cases[i].exposureUs, cases[i].averaging,
                                               cases[i].delayUs, cases[i].count, &limit));
        CHECK(limit == cases[i].limitMs);
    }
    CHECK_FAILS(velmor_measurement_time_limit(7, 1000, 1, 0, 1, &limit), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_measurement_time_limit: kind 7 is neither VELMOR_MEASURE_CONTINUOUS nor VELMOR_MEASURE_BATCH");
    CHECK_FAILS(velmor_measurement_time_limit(VELMOR_MEASURE_BATCH, 1000, 1, 0, 1, NULL),
                VELMOR_ERROR_INVALID_ARGUMENT, "velmor_measurement_time_limit: limit_ms is NULL");
}

static void errorsWithoutDevices(void)
{
    velmor_manager* manager = NULL;
    uint32_t count = 99;
    uint32_t needed = 0;
    uint32_t mode = 0;
    uint32_t edge = 0;
    int32_t state = 0;
    char text[8] = "unset";
    pthread_t other;
    Observed observed;

    CHECK(velmor_c_api_version() == VELMOR_C_API_VERSION);
    CHECK(velmor_library_version_number() != 0);
    CHECK(strchr(velmor_library_version(), '.') != NULL);
    CHECK(strcmp(velmor_status_name(VELMOR_ERROR_BUFFER_TOO_SMALL), "VELMOR_ERROR_BUFFER_TOO_SMALL") == 0);
    CHECK(strcmp(velmor_status_name(12345), "VELMOR_UNKNOWN_STATUS") == 0);
    CHECK(strcmp(velmor_status_name(VELMOR_ERROR_DEVICE_IN_USE), "VELMOR_ERROR_DEVICE_IN_USE") == 0);
    CHECK(strcmp(velmor_last_error(), "") == 0);
    CHECK(velmor_error_callback_status() == VELMOR_OK);
    timeLimits();

    /* NULL handles and pointers. */
    CHECK_FAILS(velmor_create(NULL), VELMOR_ERROR_INVALID_ARGUMENT, "velmor_create: out is NULL");
    CHECK_OK(velmor_destroy(NULL));
    CHECK_FAILS(velmor_connect(NULL), VELMOR_ERROR_INVALID_ARGUMENT, "velmor_connect: manager is NULL");
    CHECK_FAILS(velmor_disconnect(NULL), VELMOR_ERROR_INVALID_ARGUMENT, "velmor_disconnect: manager is NULL");
    CHECK_FAILS(velmor_stop_measurement(NULL), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_stop_measurement: manager is NULL");
    CHECK_FAILS(velmor_device_count(NULL, &count), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_device_count: manager is NULL");
    CHECK_FAILS(velmor_device_serial(NULL, 0, text, sizeof text, &needed), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_device_serial: manager is NULL");
    CHECK_FAILS(velmor_device_read_spectrum(NULL, 0, NULL, 0, &needed, NULL), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_device_read_spectrum: manager is NULL");
    CHECK_FAILS(velmor_start_measurement(NULL, onSpectrum, NULL, NULL, 1000, 1, 0, 1),
                VELMOR_ERROR_INVALID_ARGUMENT, "velmor_start_measurement: manager is NULL");

    /* A failing call on another thread leaves this thread's text alone;
       a successful call does too. */
    pthread_create(&other, NULL, failOnOtherThread, NULL);
    pthread_join(other, NULL);
    CHECK(strcmp(velmor_last_error(), "velmor_start_measurement: manager is NULL") == 0);

    CHECK_OK(velmor_create(&manager));
    CHECK(manager != NULL);
    CHECK_FAILS(velmor_device_count(manager, NULL), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_device_count: count is NULL");
    CHECK_OK(velmor_device_count(manager, &count));
    CHECK(count == 0);
    CHECK(strcmp(velmor_last_error(), "velmor_device_count: count is NULL") == 0);

    /* Calls in the wrong order: nothing connected yet. */
    CHECK_FAILS(velmor_device_serial(manager, 0, text, sizeof text, &needed), VELMOR_ERROR_INDEX_OUT_OF_RANGE,
                "velmor_device_serial: device_index 0 is out of range: no device is connected");
    CHECK(strcmp(text, "unset") == 0);
    CHECK_FAILS(velmor_device_status(manager, 0, &state, &count), VELMOR_ERROR_INDEX_OUT_OF_RANGE,
                "velmor_device_status: device_index 0 is out of range: no device is connected");
    CHECK_FAILS(velmor_get_trigger_config(manager, 0, &mode, &edge), VELMOR_ERROR_INDEX_OUT_OF_RANGE,
                "velmor_get_trigger_config: device_index 0 is out of range: no device is connected");
    CHECK_FAILS(velmor_set_trigger_mode(manager, VELMOR_TRIGGER_SOFTWARE), VELMOR_ERROR_NO_DEVICE,
                "No devices connected");
    CHECK_FAILS(velmor_set_trigger_mode(manager, 7), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_set_trigger_mode: mode 7 is neither VELMOR_TRIGGER_SOFTWARE nor VELMOR_TRIGGER_EXTERNAL");
    CHECK_FAILS(velmor_take_dark_spectrum(manager, 1000, 1, VELMOR_ALL_DEVICES), VELMOR_ERROR_NO_DEVICE,
                "No devices connected");
    CHECK_FAILS(velmor_set_subtract_dark(manager, 1, 0), VELMOR_ERROR_NO_DEVICE, "No devices connected");

    initObserved(&observed, manager);
    CHECK_FAILS(velmor_start_measurement(manager, NULL, onError, &observed, 1000, 1, 0, 1),
                VELMOR_ERROR_INVALID_ARGUMENT, "velmor_start_measurement: on_spectrum is NULL");
    CHECK_FAILS(velmor_start_batch_measurement(manager, NULL, onError, &observed, 1000, 2, 1, 0),
                VELMOR_ERROR_INVALID_ARGUMENT, "velmor_start_batch_measurement: on_batch is NULL");
    CHECK_FAILS(velmor_start_measurement(manager, onSpectrum, onError, &observed, 1000, 1, 0, 1),
                VELMOR_ERROR_NO_DEVICE, "No devices connected");
    CHECK_FAILS(velmor_start_batch_measurement(manager, onBatch, onError, &observed, 1000, 2, 1, 0),
                VELMOR_ERROR_NO_DEVICE, "No devices connected");

    /* The stop of an empty pool writes its line through the log callback,
       byte for byte, on the error stream. */
    CHECK_OK(velmor_set_log_handler(recordLine, NULL));
    CHECK_OK(velmor_stop_measurement(manager));
    CHECK_OK(velmor_set_log_handler(NULL, NULL));
    CHECK(loggedLine(VELMOR_LOG_ERROR, "No devices connected to stop measurement."));
    CHECK_OK(velmor_disconnect(manager));
    CHECK_OK(velmor_destroy(manager));
}

static velmor_manager* connectedManager(void)
{
    velmor_manager* manager = NULL;
    uint32_t count = 0;
    CHECK_OK(velmor_create(&manager));
    CHECK_OK(velmor_connect(manager));
    CHECK_OK(velmor_device_count(manager, &count));
    CHECK(count == 2);
    return manager;
}

/* The pool index of the device with this serial number: the pool follows
   USB enumeration, not the simulator's order. */
static int32_t indexOf(velmor_manager* manager, const char* wanted)
{
    char serial[16];
    uint32_t needed = 0;
    int32_t index;
    for (index = 0; index < 2; ++index) {
        CHECK_OK(velmor_device_serial(manager, index, serial, sizeof serial, &needed));
        if (strcmp(serial, wanted) == 0) {
            return index;
        }
    }
    CHECK(!"serial number connected");
    return 0;
}

static void identity(void)
{
    velmor_manager* manager = NULL;
    uint32_t needed = 0;
    uint32_t count = 0;
    uint32_t pixels = 0;
    int32_t start = -1;
    int32_t end = -1;
    uint32_t version[4];
    char serial[6] = "xxxxx";
    float* wavelengths;
    int32_t first;
    int32_t second;
    uint8_t bus[2];
    uint8_t address[2];
    int32_t offset = 99999;
    velmor_manager* other = NULL;

    /* Connection lines reach the log callback byte for byte; from inside it
       the calls on a manager and a new handler are refused. */
    CHECK_OK(velmor_create(&manager));
    gLogProbeManager = manager;
    atomic_store(&gLogProbeStatus[0], 1);
    CHECK_OK(velmor_set_log_handler(recordLine, NULL));
    CHECK_OK(velmor_connect(manager));
    CHECK_OK(velmor_set_log_handler(NULL, NULL));
    CHECK(loggedLine(VELMOR_LOG_OUTPUT, "开始查找设备..."));
    CHECK(loggedLine(VELMOR_LOG_OUTPUT, "找到设备数量: 2"));
    CHECK(loggedLine(VELMOR_LOG_OUTPUT, "设备软件版本: 4.0.7.1"));
    CHECK(atomic_load(&gLogProbeStatus[1]) == VELMOR_ERROR_IN_CALLBACK);
    CHECK(atomic_load(&gLogProbeStatus[2]) == VELMOR_ERROR_IN_CALLBACK);
    CHECK_OK(velmor_device_count(manager, &count));
    CHECK(count == 2);
    first = indexOf(manager, "20001");
    second = indexOf(manager, "20002");
    CHECK(first != second);

    /* Text: size query, too small, exact. */
    CHECK_OK(velmor_device_serial(manager, first, NULL, 0, &needed));
    CHECK(needed == 6);
    needed = 0;
    CHECK_FAILS(velmor_device_serial(manager, first, serial, 5, &needed), VELMOR_ERROR_BUFFER_TOO_SMALL,
                "velmor_device_serial: buffer too small: 6 elements needed, capacity is 5");
    CHECK(needed == 6);
    CHECK(strcmp(serial, "xxxxx") == 0);
    CHECK_FAILS(velmor_device_serial(manager, first, NULL, 6, &needed), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_device_serial: buffer is NULL but capacity is 6");
    CHECK_FAILS(velmor_device_serial(manager, first, serial, 6, NULL), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_device_serial: needed is NULL");
    CHECK_OK(velmor_device_serial(manager, first, serial, sizeof serial, &needed));
    CHECK(strcmp(serial, "20001") == 0);

    CHECK_OK(velmor_device_pixel_count(manager, first, &pixels));
    CHECK(pixels == 2048);
    CHECK_OK(velmor_device_pixel_count(manager, second, &pixels));
    CHECK(pixels == 1024);
    CHECK_OK(velmor_device_pixel_range(manager, second, &start, &end));
    CHECK(start >= 0 && end > start);
    CHECK_FAILS(velmor_device_pixel_range(manager, second, &start, NULL), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_device_pixel_range: end_pixel is NULL");

    CHECK_OK(velmor_device_firmware_version(manager, first, &version[0], &version[1], &version[2], &version[3]));
    CHECK(version[0] == 4 && version[1] == 1 && version[2] == 7 && version[3] == 0);
    CHECK_OK(velmor_device_firmware_version(manager, second, &version[0], &version[1], &version[2], &version[3]));
    CHECK(version[0] == 4 && version[1] == 0 && version[2] == 7 && version[3] == 1);

    /* Array: size query, too small, exact. */
    CHECK_OK(velmor_device_wavelengths(manager, second, NULL, 0, &needed));
    CHECK(needed == 1024);
    wavelengths = calloc(needed, sizeof *wavelengths);
    CHECK_FAILS(velmor_device_wavelengths(manager, second, wavelengths, needed - 1, &needed),
                VELMOR_ERROR_BUFFER_TOO_SMALL,
                "velmor_device_wavelengths: buffer too small: 1024 elements needed, capacity is 1023");
    CHECK(wavelengths[0] == 0.0f);
    CHECK_OK(velmor_device_wavelengths(manager, second, wavelengths, needed, &needed));
    CHECK(wavelengths[0] > 0.0f && wavelengths[0] < wavelengths[1023]);
    free(wavelengths);

    /* Indexes outside the pool. */
    CHECK_FAILS(velmor_device_pixel_count(manager, 2, &pixels), VELMOR_ERROR_INDEX_OUT_OF_RANGE,
                "velmor_device_pixel_count: device_index 2 is out of range: 2 connected, indexes 0 .. 1");
    CHECK_FAILS(velmor_device_wavelengths(manager, -1, NULL, 0, &needed), VELMOR_ERROR_INDEX_OUT_OF_RANGE,
                "velmor_device_wavelengths: device_index -1 is out of range: 2 connected, indexes 0 .. 1");

    /* Where each device sits, and the clock offset it was set with. */
    CHECK_OK(velmor_device_usb_location(manager, first, &bus[0], &address[0]));
    CHECK_OK(velmor_device_usb_location(manager, second, &bus[1], &address[1]));
    CHECK(bus[0] != 0 && (bus[0] != bus[1] || address[0] != address[1]));
    CHECK_FAILS(velmor_device_usb_location(manager, first, &bus[0], NULL), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_device_usb_location: device_address is NULL");
    CHECK_OK(velmor_device_clock_utc_offset(manager, first, &offset));
    CHECK(offset > -86400 && offset < 86400);

    /* A second handle finds the devices held by the first. */
    CHECK_OK(velmor_create(&other));
    CHECK_FAILS(velmor_connect(other), VELMOR_ERROR_DEVICE_IN_USE,
                "velmor_connect: the spectrometers found are held by another handle or process");
    CHECK_OK(velmor_destroy(other));

    /* Connecting again keeps the pool; disconnecting ends the indexes. */
    CHECK_OK(velmor_connect(manager));
    CHECK_OK(velmor_device_count(manager, &count));
    CHECK(count == 2);
    CHECK_OK(velmor_disconnect(manager));
    CHECK_OK(velmor_device_count(manager, &count));
    CHECK(count == 0);
    CHECK_FAILS(velmor_device_serial(manager, 0, serial, sizeof serial, &needed), VELMOR_ERROR_INDEX_OUT_OF_RANGE,
                "velmor_device_serial: device_index 0 is out of range: no device is connected");
    CHECK_OK(velmor_destroy(manager));
}

static void configuration(void)
{
    velmor_manager* manager = connectedManager();
    uint32_t mode = 9;
    uint32_t edge = 9;

    CHECK_OK(velmor_set_trigger_mode(manager, VELMOR_TRIGGER_EXTERNAL));
    CHECK_OK(velmor_get_trigger_config(manager, 1, &mode, &edge));
    CHECK(mode == 2 && edge == 0);
    CHECK_OK(velmor_set_trigger_mode(manager, VELMOR_TRIGGER_SOFTWARE));
    CHECK_OK(velmor_get_trigger_config(manager, 0, &mode, &edge));
    CHECK(mode == 0);
    CHECK_FAILS(velmor_get_trigger_config(manager, 2, &mode, &edge), VELMOR_ERROR_INDEX_OUT_OF_RANGE,
                "velmor_get_trigger_config: device_index 2 is out of range: 2 connected, indexes 0 .. 1");
    CHECK_FAILS(velmor_get_trigger_config(manager, 0, &mode, NULL), VELMOR_ERROR_INVALID_ARGUMENT,
                "velmor_get_trigger_config: edge is NULL");

    CHECK_OK(velmor_take_dark_spectrum(manager, 10000, 1, VELMOR_ALL_DEVICES));
    CHECK_OK(velmor_take_dark_spectrum(manager, 10000, 1, 1));
    CHECK_FAILS(velmor_take_dark_spectrum(manager, 10000, 1, 2), VELMOR_ERROR_INDEX_OUT_OF_RANGE,
                "velmor_take_dark_spectrum: device_index 2 is out of range: "
                "2 connected, indexes 0 .. 1, or VELMOR_ALL_DEVICES (-1)");
    CHECK_OK(velmor_set_subtract_dark(manager, 1, VELMOR_ALL_DEVICES));
    CHECK_OK(velmor_set_subtract_dark(manager, 0, 0));
    CHECK_FAILS(velmor_set_subtract_dark(manager, 1, -2), VELMOR_ERROR_INDEX_OUT_OF_RANGE,
                "velmor_set_subtract_dark: device_index -2 is out of range: "
                "2 connected, indexes 0 .. 1, or VELMOR_ALL_DEVICES (-1)");
    CHECK_OK(velmor_destroy(manager));
}

static int waitForSpectrum(velmor_manager* manager, int32_t device)
{
    int32_t state = -1;
    uint32_t available = 0;
    int polls;
    for (polls = 0; polls < 500; ++polls) {
        CHECK_OK(velmor_device_status(manager, device, &state, &available));
        if (available > 0) {
            return 1;
        }
        sleepMs(10);
    }
    return 0;
}

static void direct(void)
{
    velmor_manager* manager = connectedManager();
    const int32_t device = indexOf(manager, "20001");
    float small[10];
    float* spectrum = calloc(2048, sizeof *spectrum);
    uint32_t needed = 0;
    velmor_spectrum_info info;

    CHECK_OK(velmor_device_set_exposure(manager, device, 10000, 2));
    CHECK_OK(velmor_device_start_acquisition(manager, device, 1));
    CHECK(waitForSpectrum(manager, device));

    /* A size query and a short buffer read nothing: the spectrum stays. */
    CHECK_OK(velmor_device_read_spectrum(manager, device, NULL, 0, &needed, NULL));
    CHECK(needed == 2048);
    CHECK_FAILS(velmor_device_read_spectrum(manager, device, small, 10, &needed, &info), VELMOR_ERROR_BUFFER_TOO_SMALL,
                "velmor_device_read_spectrum: buffer too small: 2048 elements needed, capacity is 10");
    CHECK(waitForSpectrum(manager, device));
    CHECK_OK(velmor_device_read_spectrum(manager, device, spectrum, 2048, &needed, &info));
    CHECK(info.exposure_us == 10000 && info.averaging == 2);
    CHECK(info.date_days > 19000);

    /* Nothing waiting any more: the device's own refusal. */
    CHECK(velmor_device_read_spectrum(manager, device, spectrum, 2048, &needed, NULL) == VELMOR_ERROR_DEVICE);
    CHECK(strstr(velmor_last_error(), "Communication failed: ") == velmor_last_error());
    CHECK_OK(velmor_device_stop_acquisition(manager, device));
    CHECK_FAILS(velmor_device_start_acquisition(manager, 3, 1), VELMOR_ERROR_INDEX_OUT_OF_RANGE,
                "velmor_device_start_acquisition: device_index 3 is out of range: 2 connected, indexes 0 .. 1");
    free(spectrum);
    CHECK_OK(velmor_destroy(manager));
}

/* Another host thread reading while the main thread starts and stops: the
   manager serialises the calls; each succeeds, or, if it would talk to a
   device that a worker owns, is refused. */
typedef struct Reader {
    velmor_manager* manager;
    atomic_int stop;
    atomic_int calls;
    atomic_int failures;
} Reader;

static void* readConcurrently(void* argument)
{
    Reader* reader = (Reader*)argument;
    char serial[16];
    uint32_t count = 0;
    uint32_t needed = 0;
    uint32_t mode = 0;
    uint32_t edge = 0;
    int32_t status;
    while (!atomic_load(&reader->stop)) {
        status = velmor_get_trigger_config(reader->manager, 0, &mode, &edge);
        if (velmor_device_count(reader->manager, &count) != VELMOR_OK || count != 2 ||
            velmor_device_serial(reader->manager, 1, serial, sizeof serial, &needed) != VELMOR_OK ||
            (status != VELMOR_OK && status != VELMOR_ERROR_WRONG_STATE)) {
            atomic_fetch_add(&reader->failures, 1);
        }
        atomic_fetch_add(&reader->calls, 1);
    }
    return NULL;
}

static void continuous(void)
{
    velmor_manager* manager = connectedManager();
    Observed observed;
    Observed restarted;
    int32_t state = 0;
    uint32_t available = 0;
    uint32_t mode = 0;
    uint32_t edge = 0;

    Reader reader;
    pthread_t readerThread;

    memset(&reader, 0, sizeof reader);
    reader.manager = manager;
    pthread_create(&readerThread, NULL, readConcurrently, &reader);
    initObserved(&observed, manager);
    CHECK_OK(velmor_start_measurement(manager, onSpectrum, onError, &observed, 10000, 1, 0, 3));
    /* The workers own the devices until the stop. */
    CHECK_FAILS(velmor_device_status(manager, 0, &state, &available), VELMOR_ERROR_WRONG_STATE,
                "velmor_device_status: a measurement is started; call velmor_stop_measurement first");
    CHECK_FAILS(velmor_get_trigger_config(manager, 0, &mode, &edge), VELMOR_ERROR_WRONG_STATE,
                "velmor_get_trigger_config: a measurement is started; call velmor_stop_measurement first");
    CHECK(waitFor(&observed.spectra[0], 3, 30));
    CHECK(waitFor(&observed.spectra[1], 3, 30));
    CHECK_OK(velmor_stop_measurement(manager));
    CHECK(atomic_load(&observed.spectra[0]) == 3 && atomic_load(&observed.spectra[1]) == 3);
    CHECK(atomic_load(&observed.badShape) == 0);
    CHECK(atomic_load(&observed.insideCount) == 1);
    CHECK(atomic_load(&observed.insideSerial) == 1);
    CHECK(atomic_load(&observed.insideForbidden) == 6);
    CHECK(atomic_load(&observed.insideAllowed) == 0);
    CHECK_OK(velmor_device_status(manager, 0, &state, &available));
    atomic_store(&reader.stop, 1);
    pthread_join(readerThread, NULL);
    CHECK(atomic_load(&reader.calls) > 0);
    CHECK(atomic_load(&reader.failures) == 0);

    /* A start while a run goes on replaces it; the first run's user data
       is no longer called after the second start returns. */
    initObserved(&observed, manager);
    initObserved(&restarted, manager);
    CHECK_OK(velmor_start_measurement(manager, onSpectrum, onError, &observed, 10000, 1, 0, 1000));
    CHECK(waitFor(&observed.spectra[0], 1, 30));
    CHECK_OK(velmor_start_measurement(manager, onSpectrum, onError, &restarted, 10000, 1, 0, 2));
    {
        const int first = atomic_load(&observed.spectra[0]) + atomic_load(&observed.spectra[1]);
        CHECK(waitFor(&restarted.spectra[0], 2, 30));
        CHECK(waitFor(&restarted.spectra[1], 2, 30));
        CHECK(atomic_load(&observed.spectra[0]) + atomic_load(&observed.spectra[1]) == first);
    }
    /* Destroying a manager with a run stops it first. */
    CHECK_OK(velmor_destroy(manager));
}

static void batch(void)
{
    velmor_manager* manager = connectedManager();
    Observed observed;

    initObserved(&observed, manager);
    CHECK_OK(velmor_start_batch_measurement(manager, onBatch, onError, &observed, 10000, 3, 1, 0));
    CHECK(waitFor(&observed.batches[0], 1, 30));
    CHECK(waitFor(&observed.batches[1], 1, 30));
    CHECK_OK(velmor_stop_measurement(manager));
    CHECK(atomic_load(&observed.batches[0]) == 1 && atomic_load(&observed.batches[1]) == 1);
    CHECK(atomic_load(&observed.batchSpectra[0]) == 3 && atomic_load(&observed.batchSpectra[1]) == 3);
    CHECK(atomic_load(&observed.badShape) == 0);
    CHECK(atomic_load(&observed.insideCount) == 1);
    CHECK(atomic_load(&observed.insideForbidden) == 6);
    CHECK_OK(velmor_disconnect(manager));
    CHECK_FAILS(velmor_start_batch_measurement(manager, onBatch, onError, &observed, 10000, 3, 1, 0),
                VELMOR_ERROR_NO_DEVICE, "No devices connected");
    CHECK_OK(velmor_destroy(manager));
}

/* A device that stays busy: the run's timeout reaches the error callback.
   The simulator runs in real time here, so the exposure of 1 s leaves ample
   time to make the device hang once the worker has started it (its
   "checkStatusAndNotify start" line). */
static void errorCallback(const char* simulator)
{
    velmor_manager* manager = connectedManager();
    Observed observed;
    char started[64];
    char command[1024];
    int polls;

    snprintf(started, sizeof started, "[VLP] checkStatusAndNotify start devIndex=%d ", (int)indexOf(manager, "20001"));
    initObserved(&observed, manager);
    CHECK_OK(velmor_set_log_handler(recordLine, NULL));
    CHECK_OK(velmor_start_measurement(manager, onSpectrum, onError, &observed, 1000000, 1, 0, 1));
    for (polls = 0; polls < 1000 && !loggedLineStartingWith(VELMOR_LOG_OUTPUT, started); ++polls) {
        sleepMs(10);
    }
    snprintf(command, sizeof command, "'%s' ctl stuck-busy 0 on >/dev/null", simulator);
    CHECK(system(command) == 0);
    CHECK(waitFor(&observed.errors[0], 1, 30));
    CHECK(waitFor(&observed.spectra[1], 1, 30));
    CHECK_OK(velmor_stop_measurement(manager));
    CHECK_OK(velmor_set_log_handler(NULL, NULL));
    /* Whether the spectrum still came before the device hung or not. */
    CHECK(strcmp(observed.errorMessage, "Timeout waiting for spectrum.") == 0 ||
          strcmp(observed.errorMessage, "Timeout waiting for device idle after spectrum.") == 0);
    CHECK(atomic_load(&observed.errorStatus) == VELMOR_ERROR_TIMEOUT);
    CHECK(atomic_load(&observed.errors[1]) == 0);
    CHECK_OK(velmor_destroy(manager));
}

/* Values that cannot be meant are refused before any device moves, with a
   text naming the argument and its range; a dark during a run is refused
   like every other direct use of a device. */
#define REFUSED(call, text) CHECK_FAILS(call, VELMOR_ERROR_INVALID_ARGUMENT, text)

static void values(void)
{
    velmor_manager* m = connectedManager();
    Observed observed;
    int32_t state = -1;
    uint32_t available = 0;
    initObserved(&observed, m);
    REFUSED(velmor_start_measurement(m, onSpectrum, onError, &observed, 1000, 1, 0, 0),
            "velmor_start_measurement: measure_count is 0; it must be between 1 and 2147483647");
    REFUSED(velmor_start_measurement(m, onSpectrum, onError, &observed, -1, 1, 0, 1),
            "velmor_start_measurement: exposure_us is -1; it must be between 1 and 2147483647");
    REFUSED(velmor_start_measurement(m, onSpectrum, onError, &observed, 1000, 0, 0, 1),
            "velmor_start_measurement: averaging is 0; it must be between 1 and 2147483647");
    REFUSED(velmor_start_measurement(m, onSpectrum, onError, &observed, 1000, 1, -1, 1),
            "velmor_start_measurement: delay_us is -1; it must be between 0 and 2147483647");
    REFUSED(velmor_start_batch_measurement(m, onBatch, onError, &observed, 1000, 0, 1, 0),
            "velmor_start_batch_measurement: collections is 0; it must be between 1 and 2147483647");
    REFUSED(velmor_start_batch_measurement(m, onBatch, onError, &observed, 1000, -2, 1, 0),
            "velmor_start_batch_measurement: collections is -2; it must be between 1 and 2147483647");
    REFUSED(velmor_device_set_exposure(m, 0, -5, 1),
            "velmor_device_set_exposure: exposure_us is -5; it must be between 1 and 2147483647");
    REFUSED(velmor_device_start_acquisition(m, 0, -3),
            "velmor_device_start_acquisition: exposure_count is -3; it must be between 1 and 2147483647");
    REFUSED(velmor_take_dark_spectrum(m, -1, 1, VELMOR_ALL_DEVICES),
            "velmor_take_dark_spectrum: exposure_us is -1; it must be between 1 and 2147483647");
    REFUSED(velmor_take_dark_spectrum(m, 1000, 0, 0),
            "velmor_take_dark_spectrum: averaging is 0; it must be between 1 and 2147483647");
    /* Nothing moved: the devices are idle with nothing waiting. */
    CHECK_OK(velmor_device_status(m, 0, &state, &available));
    CHECK(state == VELMOR_STATE_IDLE && available == 0);

    CHECK_OK(velmor_start_measurement(m, onSpectrum, onError, &observed, 10000, 1, 0, 1000));
    CHECK_FAILS(velmor_take_dark_spectrum(m, 1000, 1, VELMOR_ALL_DEVICES), VELMOR_ERROR_WRONG_STATE,
                "velmor_take_dark_spectrum: a measurement is started; call velmor_stop_measurement first");
    CHECK_OK(velmor_stop_measurement(m));
    CHECK_OK(velmor_destroy(m));
}

/* ---- Stream measurement. ---- */

/* What the stream callbacks saw, by device (serial 20001, 20002). */
typedef struct StreamObserved {
    Observed base;
    atomic_int outOfOrder;          /* a sequence that did not follow missing_before */
    atomic_int badFields;           /* a field that does not fit the device or the settings */
    atomic_int ends[2];
    atomic_llong endDelivered[2];
    atomic_llong endLost[2];
    atomic_llong nextSequence[2];
    atomic_llong deviceTimeUs[2][8]; /* of the first spectra, for the trigger check */
} StreamObserved;

static void VELMOR_CALL onStreamSpectrum(void* user, const velmor_stream_spectrum* spectrum)
{
    StreamObserved* observed = (StreamObserved*)user;
    const int device = deviceOf(spectrum->serial_number);
    const int k = atomic_load(&observed->base.spectra[device]);
    const long long skew = (long long)(spectrum->received_at_us - spectrum->device_time_us);
    if (spectrum->struct_size != sizeof(velmor_stream_spectrum) ||
        spectrum->pixel_count != expectedPixels(spectrum->serial_number) || spectrum->spectrum == NULL ||
        spectrum->wavelengths == NULL || !(spectrum->wavelengths[0] < spectrum->wavelengths[spectrum->pixel_count - 1]) ||
        spectrum->exposure_us != 10000 || spectrum->averaging != 1 || skew < 0 || skew > 10000000) {
        atomic_fetch_add(&observed->badFields, 1);
    }
    if ((long long)spectrum->sequence != atomic_load(&observed->nextSequence[device]) + (long long)spectrum->missing_before) {
        atomic_fetch_add(&observed->outOfOrder, 1);
    }
    atomic_store(&observed->nextSequence[device], (long long)spectrum->sequence + 1);
    if (k < 8) {
        atomic_store(&observed->deviceTimeUs[device][k], (long long)spectrum->device_time_us);
    }
    probeFromInside(&observed->base);
    atomic_fetch_add(&observed->base.spectra[device], 1);
}

static void VELMOR_CALL onStreamEnd(void* user, const char* serial, uint64_t delivered, uint64_t lost)
{
    StreamObserved* observed = (StreamObserved*)user;
    atomic_store(&observed->endDelivered[deviceOf(serial)], (long long)delivered);
    atomic_store(&observed->endLost[deviceOf(serial)], (long long)lost);
    atomic_fetch_add(&observed->ends[deviceOf(serial)], 1);
}

static void initStreamObserved(StreamObserved* observed, velmor_manager* manager)
{
    memset(observed, 0, sizeof *observed);
    observed->base.manager = manager;
}

/* The simulator's answer to a control command, in `reply`. */
static void control(const char* simulator, const char* command, char* reply, size_t capacity)
{
    char line[1024];
    FILE* pipe;
    snprintf(line, sizeof line, "'%s' ctl %s", simulator, command);
    reply[0] = '\0';
    pipe = popen(line, "r");
    CHECK(pipe != NULL);
    if (pipe != NULL) {
        CHECK(fgets(reply, (int)capacity, pipe) != NULL);
        CHECK(pclose(pipe) == 0);
    }
}

/* Every spectrum once and in order, with its header values and time stamp;
   the simulator's counters show that the devices were read to the end. */
static void stream(const char* simulator)
{
    velmor_manager* manager = connectedManager();
    StreamObserved observed;
    char counters[512];
    int device;

    initStreamObserved(&observed, manager);
    CHECK_FAILS(velmor_start_stream(manager, NULL, onError, onStreamEnd, &observed, 10000, 1, 0, 20),
                VELMOR_ERROR_INVALID_ARGUMENT, "velmor_start_stream: on_spectrum is NULL");
    REFUSED(velmor_start_stream(manager, onStreamSpectrum, onError, onStreamEnd, &observed, 0, 1, 0, 20),
            "velmor_start_stream: exposure_us is 0; it must be between 1 and 2147483647");
    REFUSED(velmor_start_stream(manager, onStreamSpectrum, onError, onStreamEnd, &observed, 10000, 1, -1, 20),
            "velmor_start_stream: delay_us is -1; it must be between 0 and 2147483647");
    CHECK_OK(velmor_start_stream(manager, onStreamSpectrum, onError, onStreamEnd, &observed, 10000, 1, 0, 20));
    for (device = 0; device < 2; ++device) {
        CHECK(waitFor(&observed.ends[device], 1, 30));
        CHECK(atomic_load(&observed.base.spectra[device]) == 20);
        CHECK(atomic_load(&observed.endDelivered[device]) == 20);
        CHECK(atomic_load(&observed.endLost[device]) == 0);
        CHECK(atomic_load(&observed.base.errors[device]) == 0);
    }
    CHECK_OK(velmor_stop_measurement(manager));
    CHECK(atomic_load(&observed.outOfOrder) == 0);
    CHECK(atomic_load(&observed.badFields) == 0);
    CHECK(atomic_load(&observed.base.insideCount) == 1);
    CHECK(atomic_load(&observed.base.insideForbidden) == 6);
    control(simulator, "counters", counters, sizeof counters);
    CHECK(strstr(counters, "0: made 20 read 20 dropped 0 overflowed no") != NULL);
    CHECK(strstr(counters, "1: made 20 read 20 dropped 0 overflowed no") != NULL);
    CHECK_OK(velmor_disconnect(manager));
    CHECK_FAILS(velmor_start_stream(manager, onStreamSpectrum, onError, onStreamEnd, &observed, 10000, 1, 0, 20),
                VELMOR_ERROR_NO_DEVICE, "No devices connected");
    CHECK_OK(velmor_destroy(manager));
}

/* Whether the simulated device waits for its trigger within 30 s: the
   workers arm their devices after velmor_start_stream has returned. */
static int waitForTriggerWait(const char* simulator, int device)
{
    char command[32];
    char reply[128];
    int waited;
    sprintf(command, "status %d", device);
    for (waited = 0; waited < 600; ++waited) {
        control(simulator, command, reply, sizeof reply);
        if (strcmp(reply, "ok waiting-for-trigger\n") == 0) {
            return 1;
        }
        sleepMs(50);
    }
    return 0;
}

/* Under the hardware trigger, "ctl trigger all" gives one spectrum per
   device, and their device time stamps agree within one poll period. */
static void streamTrigger(const char* simulator)
{
    velmor_manager* manager = connectedManager();
    StreamObserved observed;
    char reply[512];
    int round;

    initStreamObserved(&observed, manager);
    CHECK_OK(velmor_set_trigger_mode(manager, VELMOR_TRIGGER_EXTERNAL));
    CHECK_OK(velmor_start_stream(manager, onStreamSpectrum, onError, onStreamEnd, &observed, 10000, 1, 0, 0));
    for (round = 0; round < 2; ++round) {
        long long spread;
        CHECK(waitForTriggerWait(simulator, 0) && waitForTriggerWait(simulator, 1));
        control(simulator, "trigger all", reply, sizeof reply);
        CHECK(strcmp(reply, "ok triggered all\n") == 0);
        CHECK(waitFor(&observed.base.spectra[0], round + 1, 30));
        CHECK(waitFor(&observed.base.spectra[1], round + 1, 30));
        spread = atomic_load(&observed.deviceTimeUs[0][round]) - atomic_load(&observed.deviceTimeUs[1][round]);
        CHECK(spread > -50000 && spread < 50000);
    }
    sleepMs(100);
    CHECK_OK(velmor_stop_measurement(manager));
    CHECK(atomic_load(&observed.base.spectra[0]) == 2 && atomic_load(&observed.base.spectra[1]) == 2);
    CHECK(atomic_load(&observed.outOfOrder) == 0);
    CHECK_OK(velmor_set_trigger_mode(manager, VELMOR_TRIGGER_SOFTWARE));
    CHECK_OK(velmor_destroy(manager));
}

int main(int argc, char** argv)
{
    const char* group = argc > 1 ? argv[1] : "";
    const char* simulator = argc > 2 ? argv[2] : "velmor-sim";
    if (strcmp(group, "errors") == 0) {
        errorsWithoutDevices();
    } else if (strcmp(group, "identity") == 0) {
        identity();
    } else if (strcmp(group, "configuration") == 0) {
        configuration();
    } else if (strcmp(group, "direct") == 0) {
        direct();
    } else if (strcmp(group, "continuous") == 0) {
        continuous();
    } else if (strcmp(group, "batch") == 0) {
        batch();
    } else if (strcmp(group, "values") == 0) {
        values();
    } else if (strcmp(group, "error_callback") == 0) {
        errorCallback(simulator);
    } else if (strcmp(group, "stream") == 0) {
        stream(simulator);
    } else if (strcmp(group, "stream_trigger") == 0) {
        streamTrigger(simulator);
    } else {
        fprintf(stderr, "usage: c_api_test errors|identity|configuration|direct|continuous|batch|values|error_callback|"
                        "stream|stream_trigger [velmor-sim]\n");
        return 2;
    }
    forgetLines();
    if (gFailures != 0) {
        fprintf(stderr, "%d check(s) failed\n", gFailures);
    }
    return gFailures > 125 ? 125 : gFailures;
}
