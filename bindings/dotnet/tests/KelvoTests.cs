// The .NET layer against kelvo-sim --all-models (KV-1NN, unit ID 1, at
// 127.0.0.(NN + 1)): records as the library writes them, values through each
// kind of unit, statuses as exceptions, handles after Dispose and Discover.
using System;
using System.Linq;
using System.Runtime.InteropServices;
using Kelvo;

static class KelvoTests
{
    static int failures;

    static void Check(bool ok, string what)
    {
        if (!ok) {
            failures++;
            Console.WriteLine("FAIL: " + what);
        }
    }

    static int Main()
    {
        Check(Marshal.SizeOf(typeof(DeviceSummary)) == 21, "DeviceSummary is not 21 bytes");
        Check(Marshal.SizeOf(typeof(VersionInfo)) == 37, "VersionInfo is not 37 bytes");

        DeviceSummary[] units = Units.Discover();
        Check(units.Length == 20 && Units.Count == 20, $"{units.Length} units found");
        Check(units.Select(u => u.Name).SequenceEqual(
                  Enumerable.Range(101, 20).Select(m => $"KV-{m}")),
              "names: " + string.Join(" ", units.Select(u => u.Name)));
        Check(units[7].ModelCode == 8 && units[7].UnitId == 1 && units[7].Total == 3 &&
                  units[8].Bits == 16,
              "KV-108 / KV-109 records");

        Unit kept;
        using (var dio = Unit.Open(8, 1)) {
            dio.WritePort(0, 0xA5);
            dio.WritePort(1, 0x0F, 0x3C);
            Check(dio.ReadPort(0) == 0xA5 && dio.ReadPort(1) == 0x0C, "KV-108 ports");
            VersionInfo v = dio.Version;
            Check(v.LibraryMajor == 1 && v.LibraryDate.Length == 10 && v.DeviceDate.Length > 0,
                  $"version {v.LibraryMajor}.{v.LibraryMinor} {v.LibraryDate} / {v.DeviceDate}");
            Check(Caught<BadChannelException>(() => dio.ReadPort(3)) != null, "KV-108 port 3");
            kept = dio;
        }
        Check(Caught<ObjectDisposedException>(() => kept.ReadPort(0)) != null, "read after Dispose");

        using (var ai = Unit.OpenByIP("127.0.0.10")) {
            ai.SetGain(3, 2);
            int[] asked = ai.ReadAnalogs(7, 3, 7);
            Check(asked.SequenceEqual(new[] { ai.ReadAnalog(7), ai.ReadAnalog(3), ai.ReadAnalog(7) }),
                  $"KV-109 channels 7, 3, 7: {string.Join(", ", asked)}");
            var e = Caught<BadChannelException>(() => ai.ReadAnalogs(3, 99, 7));
            Check(e != null && e.Message.Contains("99") &&
                      e.Message.Contains("KELVO_STATUS_BAD_CHANNEL (0x8021)"),
                  "KV-109 channel 99: " + e?.Message);
        }
        using (var ao = Unit.Open(10, 1)) {
            ao.WriteAnalog(3, -100);
            var e = Caught<BadChannelException>(() => ao.WriteAnalog(7, 1));
            Check(e != null && e.Status == 0x8021, "KV-110 channel 7: status");
        }
        using (var cou = Unit.Open(11, 1)) {
            cou.WriteCounter(1, 12345);
            Check(cou.ReadCounter(1) == 12345, "KV-111 counter 1");
        }
        var mem = Unit.Open(12, 1);
        byte[] pattern = Enumerable.Range(0, 600).Select(i => (byte)(i * 7)).ToArray();
        mem.SeekMemory(0);
        mem.WriteMemory(pattern);
        mem.SeekMemory(0);
        Check(mem.ReadMemory(600).SequenceEqual(pattern), "KV-112 sampling memory");
        mem.SamplingStatus(out uint count);

        // A new search invalidates every unit opened before it.
        Units.Discover();
        Check(Caught<NotOpenException>(() => mem.ReadPort(0)) != null, "unit kept across Discover");
        mem.Dispose();

        Console.WriteLine($"{(failures == 0 ? "ok" : "FAILED")} ({IntPtr.Size * 8}-bit process)");
        return failures == 0 ? 0 : 1;
    }

    // The exception of type T that call throws, or null when it returns.
    static T Caught<T>(Action call) where T : Exception
    {
        try {
            call();
        } catch (T e) {
            return e;
        }
        return null;
    }
}
