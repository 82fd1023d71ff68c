/**
 * @file
 * velmor_c.h: the C interface of libvelmor.
 *
 * The same library as the C++ classes (libvelmor.so / velmor.dll), usable
 * from any language that calls C functions: C and C++ of any compiler, C#
 * (DllImport), Python (ctypes/cffi), LabVIEW, MATLAB. Only C types cross it;
 * no C++ exception, type or allocator does.
 *
 * Conventions, valid for every function below unless its comment says
 * otherwise:
 *
 * - Status: every function that can fail returns an int32_t status, VELMOR_OK
 *   (0) or one of the negative velmor_status codes. On failure the calling
 *   thread's last-error text (velmor_last_error) holds the reason: the same
 *   text the C++ interface puts in its exception, or a text of this layer for
 *   failures it finds itself (null pointers, buffers too small, call order).
 *   Successful calls leave the last-error text as it is.
 * - Failure kinds: where a function below names VELMOR_ERROR_DEVICE for a
 *   device or transport failure, the more precise VELMOR_ERROR_TIMEOUT (the
 *   device did not answer in time) or VELMOR_ERROR_DEVICE_GONE (unplugged)
 *   is returned when it applies, and "no device is connected" is
 *   VELMOR_ERROR_NO_DEVICE (all since C interface version 2).
 * - Handles: a velmor_manager is opaque; only velmor_create makes one and
 *   only velmor_destroy ends it. A NULL handle or a NULL pointer where an
 *   output or input is required gives VELMOR_ERROR_INVALID_ARGUMENT.
 * - Devices are addressed by manager and device index: the 0-based position
 *   of the device among the connected ones, from 0 to count - 1. Functions
 *   that configure devices also accept VELMOR_ALL_DEVICES (-1). Another index
   gives VELMOR_ERROR_INDEX_OUT_OF_RANGE and a text naming it and the range.
 * - Outputs: a function writes its output parameters only when it returns
 *   VELMOR_OK, except the `needed` size of a buffer function, which is
 *   written as soon as the size is known (so also with
 *   VELMOR_ERROR_BUFFER_TOO_SMALL).
 * - Buffers: strings and arrays are copied into buffers the caller owns.
 *   Pass the buffer, its capacity in elements (bytes for text, floats for
 *   arrays) and a `needed` pointer; `needed` receives the number of elements
 *   the whole result takes (for text, including its terminating NUL). A NULL
 *   buffer with capacity 0 is a size query: VELMOR_OK and `needed` set. A
 *   capacity below `needed` gives VELMOR_ERROR_BUFFER_TOO_SMALL, `needed`
 *   set and nothing written. Text is UTF-8 and NUL-terminated.
 * - Strings returned as `const char*` are owned by the library; each
 *   function says how long the text stays valid. Never free them.
 * - Threads: the functions of one manager may be called from any host
 *   thread; the library serialises them per manager (a call waits while
 *   another thread's call on the same manager runs, e.g. a stop that joins
 *   the measurement workers). Different managers are independent.
 * - Callbacks run on the library's worker threads. The pointers they receive
 *   are valid only during the call; copy what you keep. A callback must
 *   return normally (no longjmp, no C++ exception). From inside a callback
 *   only the calls marked "callback-safe" are allowed; every other call
 *   returns VELMOR_ERROR_IN_CALLBACK at once instead of deadlocking (starting,
 *   stopping, connecting or disconnecting would wait for the very thread
 *   that runs the callback).
 */
#ifndef VELMOR_VELMOR_C_H
#define VELMOR_VELMOR_C_H

#include <stddef.h>
#include <stdint.h>

#include <velmor/velmorexport.h>

/** The calling convention of every function and callback of this interface:
   the platform's C convention (__cdecl on Windows), exported undecorated. */
#if defined(_WIN32) || defined(__CYGWIN__)
#  define VELMOR_CALL __cdecl
#else
#  define VELMOR_CALL
#endif

/** Version of this C interface. It grows by one with every additive change;
   compare it with velmor_c_api_version() to detect an older library. */
#define VELMOR_C_API_VERSION 3

/** Device index meaning every connected device. */
#define VELMOR_ALL_DEVICES (-1)

#ifdef __cplusplus
extern "C" {
#endif

/** Status codes returned as int32_t. */
enum velmor_status {
    VELMOR_OK = 0,
    /* A NULL handle or pointer, or a value the library refuses
       (std::invalid_argument in the C++ interface). */
    VELMOR_ERROR_INVALID_ARGUMENT = -1,
    /* A device index outside 0 .. count - 1 (std::out_of_range). */
    VELMOR_ERROR_INDEX_OUT_OF_RANGE = -2,
    /* The device, the USB transport or the measurement set-up failed
       (std::runtime_error), where none of the more precise codes below
       applies. */
    VELMOR_ERROR_DEVICE = -3,
    /* The caller's buffer is smaller than the result; `needed` tells the size. */
    VELMOR_ERROR_BUFFER_TOO_SMALL = -4,
    /* The call does not fit the manager's state, e.g. a direct device read
       while a measurement is started and not yet stopped. */
    VELMOR_ERROR_WRONG_STATE = -5,
    /* The call is not allowed from inside a callback. */
    VELMOR_ERROR_IN_CALLBACK = -6,
    /* The library ran out of memory. */
    VELMOR_ERROR_NO_MEMORY = -7,
    /* No spectrometer is connected, or velmor_connect found none it could
       use. (Since C interface version 2.) */
    VELMOR_ERROR_NO_DEVICE = -8,
    /* The device did not answer in time, or a spectrum did not come within
       the measurement's time limit. (Since version 2.) */
    VELMOR_ERROR_TIMEOUT = -9,
    /* The device was unplugged or can no longer be reached. (Since version 2.) */
    VELMOR_ERROR_DEVICE_GONE = -10,
    /* velmor_connect found spectrometers, but another handle or process holds
       them (their interface could not be claimed). (Since version 2.) */
    VELMOR_ERROR_DEVICE_IN_USE = -11,
    /* Anything else the library did not expect; the text says what. */
    VELMOR_ERROR_INTERNAL = -99
};

/** Trigger modes for velmor_set_trigger_mode. */
enum velmor_trigger_mode {
    VELMOR_TRIGGER_SOFTWARE = 0, /* free running, started by command */
    VELMOR_TRIGGER_EXTERNAL = 1  /* rising edge on the hardware trigger input */
};

/** Device states reported by velmor_device_status. Other values are passed on
   as the device reports them. */
enum velmor_device_state {
    VELMOR_STATE_IDLE = 0,
    VELMOR_STATE_WAITING_FOR_TRIGGER = 1,
    VELMOR_STATE_TAKING_SPECTRUM = 2,
    VELMOR_STATE_WAITING_FOR_TEMPERATURE = 3,
    VELMOR_STATE_POWERED_OFF = 8,
    VELMOR_STATE_SLEEP_MODE = 9,
    VELMOR_STATE_NOT_CONNECTED = 10
};

/** Measurement kinds for velmor_measurement_time_limit. (Since version 2.) */
enum velmor_measurement_kind {
    VELMOR_MEASURE_CONTINUOUS = 0, /* velmor_start_measurement */
    VELMOR_MEASURE_BATCH = 1       /* velmor_start_batch_measurement */
};

/** Log streams passed to a velmor_log_callback. */
enum velmor_log_stream {
    VELMOR_LOG_OUTPUT = 0, /* a progress line, otherwise written to standard output */
    VELMOR_LOG_ERROR = 1   /* an error line, otherwise written to standard error */
};

/** The multi-device manager (the C++ class VaskLinkProtocol). Opaque. */
typedef struct velmor_manager velmor_manager;

/** Time stamp and settings from the header of a spectrum read directly. */
typedef struct velmor_spectrum_info {
    uint32_t time_01ms;   /* time of day on the device clock, in 0.1 ms */
    uint32_t date_days;   /* days since 1970-01-01 on the device clock */
    uint32_t exposure_us; /* exposure time in microseconds */
    uint32_t averaging;   /* number of exposures averaged */
} velmor_spectrum_info;

/** One new spectrum of a continuous measurement. `wavelengths` (nm) and
   `spectrum` both hold `pixel_count` values in pixel order. Called on the
   device's worker thread; calls for different devices may overlap. */
typedef void (VELMOR_CALL *velmor_spectrum_callback)(void* user, const char* serial_number,
                                                     const float* wavelengths, const float* spectrum,
                                                     uint32_t pixel_count);

/** The whole batch of one device. `spectra` holds `spectrum_count` spectra of
   `pixel_count` values each, one after the other in reading order
   (spectrum k starts at spectra + k * pixel_count); `spectrum_count` may be
   0. Called on the device's worker thread, once per device and batch. */
typedef void (VELMOR_CALL *velmor_batch_callback)(void* user, const char* serial_number,
                                                  const float* wavelengths, uint32_t pixel_count,
                                                  const float* spectra, uint32_t spectrum_count);

/** A measurement of the device with this serial number failed or timed out;
   `message` says how, and velmor_error_callback_status() which kind of
   failure it is. Called on the device's worker thread. */
typedef void (VELMOR_CALL *velmor_error_callback)(void* user, const char* serial_number, const char* message);

/** One diagnostic line of the library, without its line end, byte for byte
   as it would have been written to the stream (UTF-8). `stream` is a
   velmor_log_stream. Called on whichever thread writes the line; calls are
   serialised. Only the callback-safe calls without a manager are allowed
   from inside it. */
typedef void (VELMOR_CALL *velmor_log_callback)(void* user, int32_t stream, const char* line);

/* ---- Library-wide calls: no handle, callback-safe, any thread. ---- */

/** The C interface version the library implements (VELMOR_C_API_VERSION of
   the header it was built with); compare it with the header's to detect an
   older library. Cannot fail. Any thread, callback-safe. */
VELMOR_EXPORT uint32_t VELMOR_CALL velmor_c_api_version(void);

/** The library version as "major.minor.patch" (the project version). Cannot
   fail. Static text owned by the library, valid for the life of the
   process; never free it. Any thread, callback-safe. */
VELMOR_EXPORT const char* VELMOR_CALL velmor_library_version(void);

/** The library version as one number: major << 16 | minor << 8 | patch.
   Cannot fail. Any thread, callback-safe. */
VELMOR_EXPORT uint32_t VELMOR_CALL velmor_library_version_number(void);

/** The name of a status code, e.g. "VELMOR_ERROR_DEVICE", or
   "VELMOR_UNKNOWN_STATUS" for a value that is none. Cannot fail. Static
   text owned by the library, valid for the life of the process. Any
   thread, callback-safe. */
VELMOR_EXPORT const char* VELMOR_CALL velmor_status_name(int32_t status);

/** The text of the last failed call on the calling thread, "" if none has
   failed yet. Cannot fail. Owned by the library and kept per thread;
   valid until the next failing call on the same thread (copy it before
   making more calls); never free it. Any thread, callback-safe. */
VELMOR_EXPORT const char* VELMOR_CALL velmor_last_error(void);

/** Hands every diagnostic line of the library to `callback` instead of
   standard output and standard error; NULL restores the standard streams.
   Process-wide, any thread. Once it returns, the previous callback is not
   called again. `user` is passed back unchanged and must stay valid while
   the callback is installed. Returns VELMOR_OK, or VELMOR_ERROR_IN_CALLBACK
   when called from inside the log callback itself. Callback-safe in
   measurement callbacks, not in the log callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_set_log_handler(velmor_log_callback callback, void* user);

/* ---- Manager lifetime. ---- */

/** Makes a manager in *out (no USB traffic yet); the caller owns it and ends
   it with velmor_destroy. Returns VELMOR_ERROR_INVALID_ARGUMENT for a NULL
   `out`, VELMOR_ERROR_NO_MEMORY when memory runs out. Any thread,
   callback-safe (it touches no other manager). */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_create(velmor_manager** out);

/** Stops any measurement, disconnects the devices and frees the manager; the
   handle is invalid afterwards. NULL is accepted and does nothing. No other
   thread may use the handle during or after this call. Returns
   VELMOR_ERROR_IN_CALLBACK from inside a callback (it would join the thread
   that runs it). Any host thread. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_destroy(velmor_manager* manager);

/* ---- Device pool (VaskLinkProtocol connectDevice, disconnectDevice,
        getConnectedDeviceCount). ---- */

/** Finds, opens and initializes every attached spectrometer. A device that
   fails is left out (its error line goes to the log). Does nothing if
   devices are already connected. When no device could be connected it
   returns VELMOR_ERROR_DEVICE_IN_USE if some were found but held by another
   handle or process, else VELMOR_ERROR_NO_DEVICE (since version 2; version 1
   returned VELMOR_OK with a count of 0); the manager stays usable and may
   connect again; VELMOR_ERROR_DEVICE when the USB layer itself fails. Any
   host thread, not from inside a callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_connect(velmor_manager* manager);

/** Stops any measurement and releases every device; device indexes end.
   Returns VELMOR_OK (also with nothing connected), or
   VELMOR_ERROR_IN_CALLBACK from inside a callback. Any host thread. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_disconnect(velmor_manager* manager);

/** Number of connected devices in *count. Returns
   VELMOR_ERROR_INVALID_ARGUMENT for a NULL handle or `count`. Any thread;
   callback-safe for the manager whose measurement makes the callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_count(velmor_manager* manager, uint32_t* count);

/* ---- Device identity, read at connection and answered from memory.
        Callback-safe for the manager whose measurement makes the callback. ---- */

/** Serial number of a device (text buffer convention). Returns
   VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index,
   VELMOR_ERROR_BUFFER_TOO_SMALL with `needed` set. Answered from memory.
   Any thread; callback-safe for the manager whose measurement makes the
   callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_serial(velmor_manager* manager, int32_t device_index,
                                                       char* buffer, uint32_t capacity, uint32_t* needed);

/** Number of pixels of a spectrum of the device. Returns
   VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index. Answered from memory.
   Any thread; callback-safe for the manager whose measurement makes the
   callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_pixel_count(velmor_manager* manager, int32_t device_index,
                                                            uint32_t* pixel_count);

/** First and last pixel of the sensor that a spectrum covers. Returns
   VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index. Answered from memory.
   Any thread; callback-safe for the manager whose measurement makes the
   callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_pixel_range(velmor_manager* manager, int32_t device_index,
                                                            int32_t* start_pixel, int32_t* end_pixel);

/** Firmware version major.minor.build.revision of the device. Returns
   VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index. Answered from memory.
   Any thread; callback-safe for the manager whose measurement makes the
   callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_firmware_version(velmor_manager* manager, int32_t device_index,
                                                                 uint32_t* major, uint32_t* minor,
                                                                 uint32_t* build, uint32_t* revision);

/** Wavelength table in nm, one float per pixel (array buffer convention).
   Returns VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index,
   VELMOR_ERROR_BUFFER_TOO_SMALL with `needed` set. Answered from memory.
   Any thread; callback-safe for the manager whose measurement makes the
   callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_wavelengths(velmor_manager* manager, int32_t device_index,
                                                            float* buffer, uint32_t capacity, uint32_t* needed);

/* ---- Configuration (VaskLinkProtocol setTriggerMode, getTriggerMode,
        takeDarkSpectrum, setSubtractDark). ---- */

/** Sets the trigger mode (a velmor_trigger_mode) of every device; each must
   be idle. Returns VELMOR_ERROR_INVALID_ARGUMENT for an unknown mode,
   VELMOR_ERROR_NO_DEVICE when no device is connected, VELMOR_ERROR_DEVICE
   when a device is not idle or
   refuses the command. Any host thread, not from inside a callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_set_trigger_mode(velmor_manager* manager, int32_t mode);

/** The device's trigger configuration in its own encoding: *mode 0 is free
   running, 2 hardware trigger; *edge 0 is the rising edge. Asks the device
   directly, so like the direct operations below it is refused with
   VELMOR_ERROR_WRONG_STATE while a measurement is started;
   VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index, VELMOR_ERROR_DEVICE when
   the device does not answer. Any host thread, not from inside a
   callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_get_trigger_config(velmor_manager* manager, int32_t device_index,
                                                            uint32_t* mode, uint32_t* edge);

/** Takes a dark spectrum in one device or, with VELMOR_ALL_DEVICES, in each
   device in turn with this exposure (microseconds) and averaging (a failing
   device is logged and skipped). The device subtracts it once subtraction
   is on. exposure_us and averaging must be at least 1
   (VELMOR_ERROR_INVALID_ARGUMENT otherwise); refused with
   VELMOR_ERROR_WRONG_STATE while a measurement is started, since the dark
   would be taken by the device the run measures with. Returns
   VELMOR_ERROR_NO_DEVICE when no device is connected, VELMOR_ERROR_DEVICE
   when the one device fails, VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad
   index. Blocks for the exposure. Any host thread, not from inside a
   callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_take_dark_spectrum(velmor_manager* manager, int32_t exposure_us,
                                                            int32_t averaging, int32_t device_index);

/** Switches dark subtraction on (enable != 0) or off, for one device or
   VELMOR_ALL_DEVICES (a failing device is logged and skipped). Returns
   VELMOR_ERROR_NO_DEVICE when no device is connected, VELMOR_ERROR_DEVICE
   when the one device fails,
   VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index. Any host thread, not
   from inside a callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_set_subtract_dark(velmor_manager* manager, int32_t enable,
                                                           int32_t device_index);

/* ---- Measurement (VaskLinkProtocol startMeasurement,
        startBatchMeasurement, stopMeasurement). Not callback-safe. ---- */

/** Stops any earlier run, then starts one worker per device that makes
   `measure_count` (at least 1) software-triggered measurements and calls
   `on_spectrum` with each new spectrum. `on_error` (may be NULL) receives
   the failures and timeouts of the run. Returns once the workers run.
   The callbacks and `user` must stay valid until velmor_stop_measurement,
   velmor_disconnect, velmor_destroy or the next start has returned.
   exposure_us, averaging and measure_count must be at least 1, delay_us at
   least 0; other values, or a NULL `on_spectrum`, give
   VELMOR_ERROR_INVALID_ARGUMENT and a text naming the argument and its
   range, before any device moves. Returns VELMOR_ERROR_NO_DEVICE when no
   device is connected, VELMOR_ERROR_DEVICE when the set-up fails. Any host
   thread, not from inside a callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_start_measurement(velmor_manager* manager,
                                                           velmor_spectrum_callback on_spectrum,
                                                           velmor_error_callback on_error, void* user,
                                                           int32_t exposure_us, int32_t averaging,
                                                           int32_t delay_us, int32_t measure_count);

/** Stops any earlier run, then starts a batch of `collections` (at least 1)
   spectra in every device, in ascending order of the devices' first
   wavelength, and calls `on_batch` once per device with the spectra
   collected. Same lifetime rules, value checks and failures as
   velmor_start_measurement (collections at least 1;
   VELMOR_ERROR_INVALID_ARGUMENT for a NULL `on_batch`). Any host thread,
   not from inside a callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_start_batch_measurement(velmor_manager* manager,
                                                                 velmor_batch_callback on_batch,
                                                                 velmor_error_callback on_error, void* user,
                                                                 int32_t exposure_us, int32_t collections,
                                                                 int32_t averaging, int32_t delay_us);

/** Stops every device and waits for every worker; a batch delivers what it
   has collected before this returns. Afterwards no callback of the run is
   called again. Returns VELMOR_OK also when nothing runs;
   VELMOR_ERROR_IN_CALLBACK from inside a callback (it would wait for its
   own thread). Any host thread. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_stop_measurement(velmor_manager* manager);

/* ---- Direct one-device operations (SpectrometerDevice through getDevice).
        Refused with VELMOR_ERROR_WRONG_STATE while a measurement is started
        and not yet stopped, because its worker owns the device. ---- */

/** The device's state (a velmor_device_state) and the number of finished
   spectra waiting in it. Returns VELMOR_ERROR_WRONG_STATE during a
   measurement, VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index,
   VELMOR_ERROR_DEVICE when the device does not answer. Any host thread,
   not from inside a callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_status(velmor_manager* manager, int32_t device_index,
                                                       int32_t* state, uint32_t* available_spectra);

/** Sets exposure time (microseconds) and averaging for the next
   acquisition; both must be at least 1 (VELMOR_ERROR_INVALID_ARGUMENT
   otherwise). Returns VELMOR_ERROR_WRONG_STATE during a measurement,
   VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index, VELMOR_ERROR_DEVICE when
   the device refuses. Any host thread, not from inside a callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_set_exposure(velmor_manager* manager, int32_t device_index,
                                                             int32_t exposure_us, int32_t averaging);

/** Starts `exposure_count` (at least 1; VELMOR_ERROR_INVALID_ARGUMENT
   otherwise) acquisitions with one command. Returns
   VELMOR_ERROR_WRONG_STATE during a measurement,
   VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index, VELMOR_ERROR_DEVICE when
   the device refuses. Any host thread, not from inside a callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_start_acquisition(velmor_manager* manager, int32_t device_index,
                                                                  int32_t exposure_count);

/** Stops the device's acquisition. Returns VELMOR_ERROR_WRONG_STATE during a
   measurement, VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index,
   VELMOR_ERROR_DEVICE when the device refuses. Any host thread, not from
   inside a callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_stop_acquisition(velmor_manager* manager, int32_t device_index);

/** Reads the oldest finished spectrum out of the device into `buffer` (array
   buffer convention; *needed is the pixel count). The size is checked
   before the read, so a buffer too small loses no spectrum. `info` may be
   NULL; otherwise it receives the spectrum's time stamp and settings.
   Returns VELMOR_ERROR_WRONG_STATE during a measurement,
   VELMOR_ERROR_INDEX_OUT_OF_RANGE for a bad index,
   VELMOR_ERROR_BUFFER_TOO_SMALL with `needed` set, VELMOR_ERROR_DEVICE when
   no spectrum is waiting or the read fails. Any host thread, not from
   inside a callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_read_spectrum(velmor_manager* manager, int32_t device_index,
                                                              float* buffer, uint32_t capacity, uint32_t* needed,
                                                              velmor_spectrum_info* info);

/* ---- Since C interface version 2. ---- */

/** Inside a velmor_error_callback: the status code classifying the failure
    being reported, e.g. VELMOR_ERROR_TIMEOUT (no spectrum within the time
    limit, or no answer from the device), VELMOR_ERROR_DEVICE_GONE (unplugged)
    or VELMOR_ERROR_DEVICE (the device refused, or anything else). VELMOR_OK
    when called anywhere else. Never fails; callable from any thread, meant
    for the worker thread that runs the error callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_error_callback_status(void);

/** The hard time limit the library applies to a measurement with these
    settings, in milliseconds from its start command, in *limit_ms. `kind` is
    a velmor_measurement_kind. Continuous: the limit for each spectrum (count
    is not used); when it passes, the error callback reports a timeout.
    Batch: how long `count` spectra are collected before the batch is
    delivered with what came. Negative values count as nothing (averaging
    and count as 1), as in the measurement itself. VELMOR_ERROR_INVALID_ARGUMENT
    for an unknown kind or a NULL limit_ms. Any thread, also inside a
    callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_measurement_time_limit(int32_t kind, int32_t exposure_us, int32_t averaging,
                                                                int32_t delay_us, int32_t count, int64_t* limit_ms);

/** The USB bus number and device address the device was opened at.
    Answered from memory; callback-safe for the manager whose measurement
    makes the callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_usb_location(velmor_manager* manager, int32_t device_index,
                                                             uint8_t* bus_number, uint8_t* device_address);

/** Local time minus UTC, in seconds, that the library used when it last set
    the device's clock (the host's current offset if it never did): a
    spectrum's date_days * 86400 + time_01ms / 10000 minus this is its UTC
    time in seconds since 1970. Answered from memory; callback-safe for the
    manager whose measurement makes the callback. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_device_clock_utc_offset(velmor_manager* manager, int32_t device_index,
                                                                 int32_t* seconds);

/* ---- Since C interface version 3: stream measurement (VaskLinkProtocol
        startStreamMeasurement). Not callback-safe. ---- */

/** One spectrum of a stream measurement, as the device made it. The library
   fills `struct_size` with the size of the structure it passes; fields are
   only ever added at the end, so a host built against an older header reads
   the fields it knows and one built against a newer header checks
   `struct_size` before reading a field that a library may not have.

   Sequence numbers count the spectra the device made in this run, from 0. A
   spectrum the host will never get (the device's memory overflowed, or the
   host's callback fell behind and the oldest queued spectrum was dropped)
   still uses up its number: `missing_before` says how many were lost right
   before this one, so consecutive spectra differ in `sequence` by
   `missing_before` + 1. Losses found where the device cannot show their
   place (at the end of an armed count) are reported on the next spectrum,
   or only in the end callback's `lost` if none follows. */
typedef struct velmor_stream_spectrum {
    uint32_t struct_size;          /* sizeof(velmor_stream_spectrum) of the library */
    int32_t device_index;          /* position in the manager's pool */
    uint64_t sequence;             /* per device and run, from 0 */
    uint64_t missing_before;       /* spectra lost right before this one */
    int64_t device_time_us;        /* the header's time stamp in UTC, microseconds since 1970-01-01 */
    int64_t received_at_us;        /* host wall clock when read, microseconds since 1970-01-01 UTC */
    const char* serial_number;     /* NUL-terminated */
    const float* spectrum;         /* pixel_count values in pixel order */
    const float* wavelengths;      /* pixel_count values, nm; NULL if the device has no table */
    uint32_t pixel_count;
    uint32_t time_01ms;            /* raw header time of day (device clock, local time), 0.1 ms */
    uint32_t date_days;            /* raw header date (device clock, local date), days since 1970-01-01 */
    uint32_t exposure_us;          /* from the header */
    uint32_t averaging;            /* from the header */
    float sensor_temperature_c;    /* from the header */
    uint8_t intensity_unit;        /* AppliedProcessing bits 0-3 */
    uint8_t dark_subtracted;       /* 1 if the device subtracted its dark spectrum */
    uint8_t processing_errors;     /* AppliedProcessing bits 12-15 */
    uint8_t after_rearm;           /* 1 if the device was re-armed right before this spectrum */
} velmor_stream_spectrum;

/** One spectrum of a stream. `spectrum` and everything it points to are valid
   only during the call. Called on the device's delivery thread: the calls
   for one device come one after another, in the device's order; calls for
   different devices may overlap. */
typedef void (VELMOR_CALL *velmor_stream_callback)(void* user, const velmor_stream_spectrum* spectrum);

/** The stream of the device with this serial number ended (its count was
   reached, it was stopped or it failed): `delivered` spectra were handed
   over and `lost` were missing in all. Called once per device and run,
   after its last spectrum and error, on its delivery thread. */
typedef void (VELMOR_CALL *velmor_stream_end_callback)(void* user, const char* serial_number, uint64_t delivered,
                                                       uint64_t lost);

/** Stops any earlier run, then streams every spectrum every device makes, at
   the device's own pace, until `count` spectra per device (0: until
   velmor_stop_measurement). The trigger mode in force decides between free
   running and one spectrum per hardware trigger. `on_spectrum` receives each
   spectrum once, in order; `on_error` (may be NULL) a failure that ends a
   device's stream; `on_end` (may be NULL) the totals of each device. A slow
   callback never holds up the device: up to 256 spectra per device wait for
   it, then the oldest are dropped and counted. Returns once the workers run;
   VELMOR_ERROR_INVALID_ARGUMENT for a NULL manager or `on_spectrum`, or an
   exposure_us or averaging below 1 or a delay_us below 0 (a text naming the
   argument and its range), VELMOR_ERROR_NO_DEVICE with no device connected. The callbacks and `user`
   must stay valid until velmor_stop_measurement, velmor_disconnect,
   velmor_destroy or the next start has returned; velmor_stop_measurement
   delivers what was read before it returns. */
VELMOR_EXPORT int32_t VELMOR_CALL velmor_start_stream(velmor_manager* manager, velmor_stream_callback on_spectrum,
                                                      velmor_error_callback on_error,
                                                      velmor_stream_end_callback on_end, void* user,
                                                      int32_t exposure_us, int32_t averaging, int32_t delay_us,
                                                      uint64_t count);

#ifdef __cplusplus
}
#endif

#endif /* VELMOR_VELMOR_C_H */
