// The Kelvo client library for .NET: the records, one exception per status,
// discovery, and a unit object that closes its connection when disposed. The
// calls themselves are Kelvo.Native.
//
//   foreach (var s in Units.Discover()) Console.WriteLine($"{s.Name}:{s.UnitId}");
//   using (var dio = Unit.Open(8, 1)) {           // KV-108, unit ID 1
//       dio.WritePort(0, 0xA5);
//       Console.WriteLine(dio.ReadPort(0));
//   }
//
// Units.Discover() invalidates every Unit opened before it; the rules for
// threads are the library's (kelvo(7)).
using System;
using System.Linq;
using System.Runtime.InteropServices;

namespace Kelvo
{
    /// <summary>One unit as listed by browsing (21 bytes, as in kelvo.h).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1, CharSet = CharSet.Ansi)]
    public struct DeviceSummary
    {
        public byte ModelCode;
        public byte UnitId;
        public byte AuxByte;
        public byte Total;
        public byte Bits;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 16)]
        public string Name;
    }

    /// <summary>Library and unit versions (37 bytes, as in kelvo.h).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1, CharSet = CharSet.Ansi)]
    public struct VersionInfo
    {
        public byte LibraryMajor;
        public byte LibraryMinor;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 16)]
        public string LibraryDate;
        public byte DeviceInfo;
        public byte DeviceMajor;
        public byte DeviceMinor;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 16)]
        public string DeviceDate;
    }

    /// <summary>A call failed. Status is the library's 16-bit status, 0 for the
    /// discovery and connection calls, which do not say why.</summary>
    public class KelvoException : Exception
    {
        public ushort Status { get; }

        public KelvoException(string message, ushort status = 0) : base(message)
        {
            Status = status;
        }

        /// <summary>"KELVO_STATUS_BAD_CHANNEL (0x8021)"; an unknown status as hex alone.</summary>
        public static string StatusText(ushort status)
        {
            string name;
            switch (status) {
                case Native.KELVO_STATUS_OK: name = "KELVO_STATUS_OK"; break;
                case Native.KELVO_STATUS_NOT_OPEN: name = "KELVO_STATUS_NOT_OPEN"; break;
                case Native.KELVO_STATUS_COMM_ERROR: name = "KELVO_STATUS_COMM_ERROR"; break;
                case Native.KELVO_STATUS_BAD_CHANNEL: name = "KELVO_STATUS_BAD_CHANNEL"; break;
                case Native.KELVO_STATUS_BAD_SETTING: name = "KELVO_STATUS_BAD_SETTING"; break;
                case Native.KELVO_STATUS_NO_MEMORY: name = "KELVO_STATUS_NO_MEMORY"; break;
                default: return $"status 0x{status:X4}";
            }
            return $"{name} (0x{status:X4})";
        }

        internal static void Check(ushort status, string call)
        {
            string what = $"{call}: {StatusText(status)}";
            switch (status) {
                case Native.KELVO_STATUS_OK: return;
                case Native.KELVO_STATUS_NOT_OPEN: throw new NotOpenException(what);
                case Native.KELVO_STATUS_COMM_ERROR: throw new CommunicationException(what);
                case Native.KELVO_STATUS_BAD_CHANNEL: throw new BadChannelException(what);
                case Native.KELVO_STATUS_BAD_SETTING: throw new BadSettingException(what);
                case Native.KELVO_STATUS_NO_MEMORY: throw new NoMemoryException(what);
                default: throw new KelvoException(what, status);
            }
        }
    }

    /// <summary>The handle is not a known unit (a Discover() came since).</summary>
    public class NotOpenException : KelvoException
    {
        public NotOpenException(string m) : base(m, Native.KELVO_STATUS_NOT_OPEN) { }
    }

    /// <summary>The unit did not answer properly; the connection was renewed.</summary>
    public class CommunicationException : KelvoException
    {
        public CommunicationException(string m) : base(m, Native.KELVO_STATUS_COMM_ERROR) { }
    }

    /// <summary>A port or channel outside the model.</summary>
    public class BadChannelException : KelvoException
    {
        public BadChannelException(string m) : base(m, Native.KELVO_STATUS_BAD_CHANNEL) { }
    }

    /// <summary>A sampling setting out of range.</summary>
    public class BadSettingException : KelvoException
    {
        public BadSettingException(string m) : base(m, Native.KELVO_STATUS_BAD_SETTING) { }
    }

    /// <summary>The library could not get a working buffer.</summary>
    public class NoMemoryException : KelvoException
    {
        public NoMemoryException(string m) : base(m, Native.KELVO_STATUS_NO_MEMORY) { }
    }

    public static class Units
    {
        /// <summary>Finds the units (Kelvo_Initial, at least 1.5 s when it
        /// broadcasts) and lists them.</summary>
        public static DeviceSummary[] Discover()
        {
            int n = Native.Kelvo_Initial();
            var units = new DeviceSummary[Math.Max(n, 0)];
            if (n > 0) {
                n = Native.Kelvo_BrowseDevice(units);
                Array.Resize(ref units, n);
            }
            return units;
        }

        /// <summary>The units found by the last Discover(), without a new search.</summary>
        public static int Count => Native.Kelvo_BrowseDevice(IntPtr.Zero);
    }

    /// <summary>An opened unit. Dispose closes its connection.</summary>
    public sealed class Unit : IDisposable
    {
        private IntPtr handle;

        private Unit(IntPtr handle, string name)
        {
            this.handle = handle;
            Name = name;
        }

        public string Name { get; }

        /// <summary>The raw handle, for the calls of Kelvo.Native.</summary>
        public IntPtr Handle
        {
            get {
                if (handle == IntPtr.Zero) throw new ObjectDisposedException(Name);
                return handle;
            }
        }

        public static Unit Open(uint modelCode, uint unitId)
        {
            IntPtr h = Native.Kelvo_Open(modelCode, unitId);
            string name = $"model {modelCode}, unit ID {unitId}";
            if (h == IntPtr.Zero) throw new KelvoException($"no unit of {name} could be opened");
            return new Unit(h, name);
        }

        public static Unit OpenByIP(string address)
        {
            IntPtr h = Native.Kelvo_OpenByIP(address);
            if (h == IntPtr.Zero) throw new KelvoException($"no unit at {address} could be opened");
            return new Unit(h, address);
        }

        public void Dispose()
        {
            if (handle != IntPtr.Zero) Native.Kelvo_Close(handle);
            handle = IntPtr.Zero;
        }

        public byte ReadPort(uint port)
        {
            KelvoException.Check(Native.Kelvo_ReadDIO(Handle, port, out byte v), "Kelvo_ReadDIO");
            return v;
        }

        public void WritePort(uint port, byte value, byte mask = 0xFF)
        {
            KelvoException.Check(Native.Kelvo_WriteDIO(Handle, port, value, mask), "Kelvo_WriteDIO");
        }

        public int ReadAnalog(uint channel)
        {
            KelvoException.Check(Native.Kelvo_ReadAIO(Handle, channel, out int v), "Kelvo_ReadAIO");
            return v;
        }

        public void WriteAnalog(uint channel, int value)
        {
            KelvoException.Check(Native.Kelvo_WriteAIO(Handle, channel, value), "Kelvo_WriteAIO");
        }

        /// <summary>One value per channel asked for, in the order asked (a
        /// channel asked twice gets its value twice), read in one exchange.
        /// A channel outside the model's inputs throws BadChannelException
        /// naming it.</summary>
        public int[] ReadAnalogs(params byte[] channels)
        {
            byte[] distinct = channels.Distinct().OrderBy(c => c).ToArray();
            if (distinct.Length == 0) return new int[0];
            CheckAnalogInput(distinct[distinct.Length - 1]);
            // The library fills one value per valid channel, lowest channel first.
            var values = new int[distinct.Length];
            KelvoException.Check(
                Native.Kelvo_MultiReadAIO(Handle, (uint)distinct.Length, distinct, values),
                "Kelvo_MultiReadAIO");
            return channels.Select(c => values[Array.IndexOf(distinct, c)]).ToArray();
        }

        // Input channels are 0 .. inputs-1 of the model. The library reads the
        // valid channels among those asked for and skips the others, so the
        // highest one asked for is checked here, once per unit and bound:
        // Kelvo_ReadAIO refuses a channel outside the model without an exchange.
        private int inputsAtLeast;          // channels below are known valid
        private int inputsAtMost = 256;     // channels from here on are known invalid

        private void CheckAnalogInput(byte channel)
        {
            if (channel < inputsAtLeast) return;
            ushort status = channel >= inputsAtMost ? Native.KELVO_STATUS_BAD_CHANNEL
                                                    : Native.Kelvo_ReadAIO(Handle, channel, out int _);
            if (status == Native.KELVO_STATUS_BAD_CHANNEL) inputsAtMost = channel;
            else if (status == Native.KELVO_STATUS_OK) inputsAtLeast = channel + 1;
            KelvoException.Check(status, $"Kelvo_MultiReadAIO: channel {channel}");
        }

        public void SetGain(uint channel, uint gain)
        {
            KelvoException.Check(Native.Kelvo_SetGainAIO(Handle, channel, gain), "Kelvo_SetGainAIO");
        }

        public int ReadCounter(uint channel)
        {
            KelvoException.Check(Native.Kelvo_ReadCOU(Handle, channel, out int v), "Kelvo_ReadCOU");
            return v;
        }

        public void WriteCounter(uint channel, int value)
        {
            KelvoException.Check(Native.Kelvo_WriteCOU(Handle, channel, value), "Kelvo_WriteCOU");
        }

        /// <summary>Library version and, when connected, the unit's.</summary>
        public VersionInfo Version
        {
            get {
                if (Native.Kelvo_GetVerInfo(Handle, out VersionInfo info) == 0)
                    throw new KelvoException($"{Name}: no version information");
                return info;
            }
        }

        public void StartSampling()
        {
            KelvoException.Check(Native.Kelvo_MemStartDIO(Handle), "Kelvo_MemStartDIO");
        }

        public void StopSampling()
        {
            KelvoException.Check(Native.Kelvo_MemStopDIO(Handle), "Kelvo_MemStopDIO");
        }

        /// <summary>The unit's sampling status byte; count is its memory count.</summary>
        public byte SamplingStatus(out uint count)
        {
            return Native.Kelvo_MemSampleStatusDIO(Handle, out count);
        }

        public void SeekMemory(uint position)
        {
            KelvoException.Check(Native.Kelvo_MemSeekDIO(Handle, position), "Kelvo_MemSeekDIO");
        }

        public byte[] ReadMemory(int length)
        {
            var data = new byte[length];
            KelvoException.Check(Native.Kelvo_MemReadDIO(Handle, (uint)length, data),
                                 "Kelvo_MemReadDIO");
            return data;
        }

        public void WriteMemory(byte[] data)
        {
            KelvoException.Check(Native.Kelvo_MemWriteDIO(Handle, (uint)data.Length, data),
                                 "Kelvo_MemWriteDIO");
        }
    }
}
