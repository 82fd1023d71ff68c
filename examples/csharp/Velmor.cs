// A C# binding of libvelmor's C interface (velmor/velmor_c.h) with DllImport.
// "velmor" resolves to libvelmor.so on Linux (under mono) and to velmor.dll
// on Windows. Each native call returns a status; a failure becomes a
// VelmorException carrying the status and the library's last-error text.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace Velmor
{
    public enum Status
    {
        Ok = 0,
        InvalidArgument = -1,
        IndexOutOfRange = -2,
        Device = -3,
        BufferTooSmall = -4,
        WrongState = -5,
        InCallback = -6,
        NoMemory = -7,
        NoDevice = -8,
        Timeout = -9,
        DeviceGone = -10,
        DeviceInUse = -11,
        Internal = -99,
    }

    public class VelmorException : Exception
    {
        public VelmorException(Status status, string message) : base(message) { Status = status; }
        public Status Status { get; private set; }
    }

    // One spectrum of a stream, copied out of the library's
    // velmor_stream_spectrum during the callback.
    public sealed class StreamedSpectrum
    {
        public string Serial;
        public ulong Sequence;          // per device and run, from 0
        public ulong MissingBefore;     // spectra lost right before this one
        public DateTime DeviceTime;     // the device's time stamp, UTC
        public DateTime ReceivedAt;     // when the host read it, UTC
        public uint ExposureUs;
        public uint Averaging;
        public float TemperatureC;
        public bool DarkSubtracted;
        public float[] Wavelengths;
        public float[] Counts;
    }

    internal static class Native
    {
        const string Library = "velmor";
        const CallingConvention Convention = CallingConvention.Cdecl;

        [UnmanagedFunctionPointer(Convention)]
        public delegate void SpectrumCallback(IntPtr user, IntPtr serial, IntPtr wavelengths, IntPtr spectrum,
                                              uint pixelCount);
        [UnmanagedFunctionPointer(Convention)]
        public delegate void BatchCallback(IntPtr user, IntPtr serial, IntPtr wavelengths, uint pixelCount,
                                           IntPtr spectra, uint spectrumCount);
        [UnmanagedFunctionPointer(Convention)]
        public delegate void ErrorCallback(IntPtr user, IntPtr serial, IntPtr message);
        [UnmanagedFunctionPointer(Convention)]
        public delegate void LogCallback(IntPtr user, int stream, IntPtr line);
        [UnmanagedFunctionPointer(Convention)]
        public delegate void StreamCallback(IntPtr user, IntPtr spectrum);
        [UnmanagedFunctionPointer(Convention)]
        public delegate void StreamEndCallback(IntPtr user, IntPtr serial, ulong delivered, ulong lost);

        // velmor_stream_spectrum as laid out by a C compiler; the library's
        // struct may grow at its end, so only what struct_size covers is read.
        [StructLayout(LayoutKind.Sequential)]
        public struct StreamSpectrum
        {
            public uint StructSize;
            public int DeviceIndex;
            public ulong Sequence;
            public ulong MissingBefore;
            public long DeviceTimeUs;
            public long ReceivedAtUs;
            public IntPtr Serial;
            public IntPtr Spectrum;
            public IntPtr Wavelengths;
            public uint PixelCount;
            public uint Time01ms;
            public uint DateDays;
            public uint ExposureUs;
            public uint Averaging;
            public float SensorTemperatureC;
            public byte IntensityUnit;
            public byte DarkSubtracted;
            public byte ProcessingErrors;
            public byte AfterRearm;
        }

        [DllImport(Library, CallingConvention = Convention)] public static extern uint velmor_c_api_version();
        [DllImport(Library, CallingConvention = Convention)] public static extern IntPtr velmor_library_version();
        [DllImport(Library, CallingConvention = Convention)] public static extern IntPtr velmor_last_error();
        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmor_set_log_handler(LogCallback callback, IntPtr user);
        [DllImport(Library, CallingConvention = Convention)] public static extern int velmor_create(out IntPtr manager);
        [DllImport(Library, CallingConvention = Convention)] public static extern int velmor_destroy(IntPtr manager);
        [DllImport(Library, CallingConvention = Convention)] public static extern int velmor_connect(IntPtr manager);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmor_device_count(IntPtr manager, out uint count);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmor_device_serial(IntPtr manager, int device, byte[] buffer, uint capacity,
                                                      out uint needed);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmor_device_firmware_version(IntPtr manager, int device, out uint major,
                                                                out uint minor, out uint build, out uint revision);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmor_device_wavelengths(IntPtr manager, int device, float[] buffer,
                                                           uint capacity, out uint needed);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmor_start_measurement(IntPtr manager, SpectrumCallback onSpectrum,
                                                          ErrorCallback onError, IntPtr user, int exposureUs,
                                                          int averaging, int delayUs, int measureCount);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmor_start_batch_measurement(IntPtr manager, BatchCallback onBatch,
                                                                ErrorCallback onError, IntPtr user, int exposureUs,
                                                                int collections, int averaging, int delayUs);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmor_start_stream(IntPtr manager, StreamCallback onSpectrum, ErrorCallback onError,
                                                     StreamEndCallback onEnd, IntPtr user, int exposureUs,
                                                     int averaging, int delayUs, ulong count);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern int velmor_stop_measurement(IntPtr manager);

        static readonly DateTime Epoch = new DateTime(1970, 1, 1, 0, 0, 0, DateTimeKind.Utc);

        public static DateTime UtcFromMicroseconds(long microseconds)
        {
            return Epoch.AddTicks(microseconds * 10);
        }

        public static StreamedSpectrum Streamed(IntPtr native)
        {
            var raw = (StreamSpectrum)Marshal.PtrToStructure(native, typeof(StreamSpectrum));
            return new StreamedSpectrum {
                Serial = Text(raw.Serial),
                Sequence = raw.Sequence,
                MissingBefore = raw.MissingBefore,
                DeviceTime = UtcFromMicroseconds(raw.DeviceTimeUs),
                ReceivedAt = UtcFromMicroseconds(raw.ReceivedAtUs),
                ExposureUs = raw.ExposureUs,
                Averaging = raw.Averaging,
                TemperatureC = raw.SensorTemperatureC,
                DarkSubtracted = raw.DarkSubtracted != 0,
                Wavelengths = raw.Wavelengths == IntPtr.Zero ? new float[0] : Floats(raw.Wavelengths, (int)raw.PixelCount),
                Counts = Floats(raw.Spectrum, (int)raw.PixelCount),
            };
        }

        // UTF-8 text the library owns, NUL-terminated.
        public static string Text(IntPtr text)
        {
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) {
                ++length;
            }
            byte[] bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }

        public static void Check(int status)
        {
            if (status != 0) {
                throw new VelmorException((Status)status, Text(velmor_last_error()));
            }
        }

        public static float[] Floats(IntPtr values, int count)
        {
            float[] copy = new float[count];
            if (count > 0) {
                Marshal.Copy(values, copy, 0, count);
            }
            return copy;
        }
    }

    // Every spectrometer attached, as one object (the library's manager).
    // Callbacks run on the library's worker threads; they must not start or
    // stop a measurement.
    public sealed class Spectrometers : IDisposable
    {
        IntPtr handle;
        // The library calls these until the run is stopped: the garbage
        // collector must not take them before.
        readonly List<Delegate> runCallbacks = new List<Delegate>();

        public static string LibraryVersion { get { return Native.Text(Native.velmor_library_version()); } }
        public static uint InterfaceVersion { get { return Native.velmor_c_api_version(); } }

        public Spectrometers() { Native.Check(Native.velmor_create(out handle)); }

        public void Connect() { Native.Check(Native.velmor_connect(handle)); }

        public int Count
        {
            get {
                uint count;
                Native.Check(Native.velmor_device_count(handle, out count));
                return (int)count;
            }
        }

        public string Serial(int device)
        {
            uint needed;
            Native.Check(Native.velmor_device_serial(handle, device, null, 0, out needed));
            byte[] buffer = new byte[needed];
            Native.Check(Native.velmor_device_serial(handle, device, buffer, needed, out needed));
            return Encoding.UTF8.GetString(buffer, 0, (int)needed - 1);
        }

        public Version Firmware(int device)
        {
            uint major, minor, build, revision;
            Native.Check(Native.velmor_device_firmware_version(handle, device, out major, out minor, out build,
                                                               out revision));
            return new Version((int)major, (int)minor, (int)build, (int)revision);
        }

        public float[] Wavelengths(int device)
        {
            uint needed;
            Native.Check(Native.velmor_device_wavelengths(handle, device, null, 0, out needed));
            float[] table = new float[needed];
            Native.Check(Native.velmor_device_wavelengths(handle, device, table, needed, out needed));
            return table;
        }

        public void StartMeasurement(Action<string, float[], float[]> onSpectrum, Action<string, string> onError,
                                     int exposureUs, int averaging, int delayUs, int measureCount)
        {
            Native.SpectrumCallback spectrum = (user, serial, wavelengths, values, pixels) =>
                onSpectrum(Native.Text(serial), Native.Floats(wavelengths, (int)pixels),
                           Native.Floats(values, (int)pixels));
            Native.ErrorCallback error = ErrorAdapter(onError);
            runCallbacks.Add(spectrum);
            runCallbacks.Add(error);
            Native.Check(Native.velmor_start_measurement(handle, spectrum, error, IntPtr.Zero, exposureUs, averaging,
                                                         delayUs, measureCount));
        }

        public void StartBatchMeasurement(Action<string, float[], float[][]> onBatch, Action<string, string> onError,
                                          int exposureUs, int collections, int averaging, int delayUs)
        {
            Native.BatchCallback batch = (user, serial, wavelengths, pixels, spectra, count) => {
                float[] block = Native.Floats(spectra, (int)(pixels * count));
                float[][] split = new float[count][];
                for (int k = 0; k < count; ++k) {
                    split[k] = new float[pixels];
                    Array.Copy(block, k * pixels, split[k], 0, pixels);
                }
                onBatch(Native.Text(serial), Native.Floats(wavelengths, (int)pixels), split);
            };
            Native.ErrorCallback error = ErrorAdapter(onError);
            runCallbacks.Add(batch);
            runCallbacks.Add(error);
            Native.Check(Native.velmor_start_batch_measurement(handle, batch, error, IntPtr.Zero, exposureUs,
                                                               collections, averaging, delayUs));
        }

        // Every spectrum every device makes, at its own pace, until `count`
        // per device (0: until StopMeasurement); onEnd gets each device's
        // delivered and lost totals.
        public void StartStream(Action<StreamedSpectrum> onSpectrum, Action<string, string> onError,
                                Action<string, ulong, ulong> onEnd, int exposureUs, int averaging, int delayUs,
                                ulong count)
        {
            Native.StreamCallback spectrum = (user, native) => onSpectrum(Native.Streamed(native));
            Native.ErrorCallback error = ErrorAdapter(onError);
            Native.StreamEndCallback end = (user, serial, delivered, lost) => {
                if (onEnd != null) {
                    onEnd(Native.Text(serial), delivered, lost);
                }
            };
            runCallbacks.Add(spectrum);
            runCallbacks.Add(error);
            runCallbacks.Add(end);
            Native.Check(Native.velmor_start_stream(handle, spectrum, error, end, IntPtr.Zero, exposureUs, averaging,
                                                    delayUs, count));
        }

        public void StopMeasurement()
        {
            Native.Check(Native.velmor_stop_measurement(handle));
            runCallbacks.Clear();
        }

        public void Dispose()
        {
            if (handle != IntPtr.Zero) {
                Native.Check(Native.velmor_destroy(handle));
                handle = IntPtr.Zero;
                runCallbacks.Clear();
            }
        }

        static Native.ErrorCallback ErrorAdapter(Action<string, string> onError)
        {
            return (user, serial, message) => {
                if (onError != null) {
                    onError(Native.Text(serial), Native.Text(message));
                }
            };
        }
    }

    // The library's diagnostic lines, handed to a host function instead of
    // the console. Process-wide.
    public static class Log
    {
        // Held so that the garbage collector keeps the delegate the library calls.
#pragma warning disable 414
        static Native.LogCallback installed;
#pragma warning restore 414

        public static void Redirect(Action<int, string> onLine)
        {
            Native.LogCallback callback = onLine == null ? null
                : new Native.LogCallback((user, stream, line) => onLine(stream, Native.Text(line)));
            Native.Check(Native.velmor_set_log_handler(callback, IntPtr.Zero));
            installed = callback;
        }
    }
}
