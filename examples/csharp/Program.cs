// The C interface from a managed language: lists the attached spectrometers,
// makes a short continuous, batch and stream measurement, and shows how a
// library error reaches C#. Exits 1 if anything is not as expected.
//
//   mcs -out:velmor-example.exe Velmor.cs Program.cs
//   LD_LIBRARY_PATH=<dir of libvelmor.so> velmor-sim --devices 2 -- mono velmor-example.exe
using System;
using System.Collections.Concurrent;
using System.Linq;
using System.Threading;
using Velmor;

static class Program
{
    static int failures;

    static void Expect(bool condition, string what)
    {
        if (!condition) {
            Console.Error.WriteLine("FAILED: " + what);
            Interlocked.Increment(ref failures);
        }
    }

    static bool WaitUntil(Func<bool> condition, int seconds)
    {
        for (int waited = 0; waited < seconds * 20 && !condition(); ++waited) {
            Thread.Sleep(50);
        }
        return condition();
    }

    static int Main()
    {
        Console.WriteLine("libvelmor " + Spectrometers.LibraryVersion + ", C interface " + Spectrometers.InterfaceVersion);
        var lines = new ConcurrentQueue<string>();
        Log.Redirect((stream, line) => lines.Enqueue((stream == 0 ? "out: " : "err: ") + line));

        using (var spectrometers = new Spectrometers()) {
            spectrometers.Connect();
            int count = spectrometers.Count;
            Console.WriteLine(count + " spectrometers");
            Expect(count > 0, "at least one spectrometer connected");
            Expect(lines.Contains("out: 开始查找设备..."), "the library's log lines arrive, UTF-8 intact");
            for (int device = 0; device < count; ++device) {
                float[] table = spectrometers.Wavelengths(device);
                Console.WriteLine("  " + device + ": serial " + spectrometers.Serial(device) + ", firmware " +
                                  spectrometers.Firmware(device) + ", " + table.Length + " pixels, " + table[0] +
                                  " to " + table[table.Length - 1] + " nm");
            }

            var spectra = new ConcurrentDictionary<string, int>();
            spectrometers.StartMeasurement((serial, wavelengths, spectrum) => {
                Expect(spectrum.Length == wavelengths.Length, "a spectrum has a value per wavelength");
                spectra.AddOrUpdate(serial, 1, (key, n) => n + 1);
            }, (serial, message) => Console.Error.WriteLine(serial + ": " + message), 10000, 1, 0, 3);
            Expect(WaitUntil(() => spectra.Count == count && spectra.Values.All(n => n == 3), 30),
                   "three spectra from every device");
            spectrometers.StopMeasurement();
            Console.WriteLine("continuous: " + string.Join(", ", spectra.Select(p => p.Key + " " + p.Value)));

            var batches = new ConcurrentDictionary<string, int>();
            spectrometers.StartBatchMeasurement((serial, wavelengths, batch) => batches[serial] = batch.Length,
                                                null, 10000, 4, 1, 0);
            Expect(WaitUntil(() => batches.Count == count, 30), "a batch from every device");
            spectrometers.StopMeasurement();
            Console.WriteLine("batch: " + string.Join(", ", batches.Select(p => p.Key + " " + p.Value)));
            Expect(batches.Values.All(n => n == 4), "four spectra in every batch");

            var streamed = new ConcurrentDictionary<string, ulong>();
            var ends = new ConcurrentDictionary<string, ulong>();
            spectrometers.StartStream(spectrum => {
                Expect(spectrum.Sequence == streamed.GetOrAdd(spectrum.Serial, 0UL) && spectrum.MissingBefore == 0,
                       "stream spectra come once and in order");
                Expect(Math.Abs((spectrum.ReceivedAt - spectrum.DeviceTime).TotalSeconds) < 10,
                       "a stream spectrum's device time is UTC");
                Expect(spectrum.Counts.Length == spectrum.Wavelengths.Length && spectrum.ExposureUs == 10000,
                       "a stream spectrum carries its pixels and settings");
                streamed[spectrum.Serial] = spectrum.Sequence + 1;
            }, null, (serial, delivered, lost) => ends[serial] = delivered * 1000 + lost, 10000, 1, 0, 5);
            Expect(WaitUntil(() => ends.Count == count, 30), "every device's stream ends");
            spectrometers.StopMeasurement();
            Console.WriteLine("stream: " + string.Join(", ", streamed.Select(p => p.Key + " " + p.Value)));
            Expect(ends.Values.All(v => v == 5000), "five spectra from every device, none lost");

            try {
                spectrometers.Serial(count);
                Expect(false, "an index past the last device is refused");
            } catch (VelmorException e) {
                Console.WriteLine("device " + count + ": " + e.Status + ": " + e.Message);
                Expect(e.Status == Status.IndexOutOfRange && e.Message.StartsWith("velmor_device_serial: device_index " + count + " is out of range"),
                       "the library's status and text reach C#");
            }
        }
        Log.Redirect(null);
        return failures == 0 ? 0 : 1;
    }
}
