// Kelvo.Native: the 54 exports of the Kelvo client library, as P/Invoke
// declarations named exactly as in include/kelvo.h (a test compares them).
//
// The library name is "KelvoDLL": on Windows that is KelvoDLL.dll, which a
// process loads in its own bitness (x86 or x64 folder; handles are IntPtr,
// every other scalar a 32-bit int or uint, so one assembly serves both). On
// Linux, mono maps the name to libkelvo.so.1 through Kelvo.dll.config.
//
// The exports are standard-call (the default of DllImport on Windows, the only
// convention on x64 and Linux).
using System;
using System.Runtime.InteropServices;

namespace Kelvo
{
    public static class Native
    {
        public const string Library = "KelvoDLL";

        public const ushort KELVO_STATUS_OK = 0x0000;
        public const ushort KELVO_STATUS_NO_MEMORY = 0x8008;
        public const ushort KELVO_STATUS_NOT_OPEN = 0x8010;
        public const ushort KELVO_STATUS_COMM_ERROR = 0x8011;
        public const ushort KELVO_STATUS_BAD_SETTING = 0x8020;
        public const ushort KELVO_STATUS_BAD_CHANNEL = 0x8021;

        [DllImport(Library, EntryPoint = "Kelvo_Initial", ExactSpelling = true)]
        public static extern int Kelvo_Initial();

        [DllImport(Library, EntryPoint = "Kelvo_BrowseDevice", ExactSpelling = true)]
        public static extern int Kelvo_BrowseDevice([Out] DeviceSummary[] summaries);

        /// <summary>Kelvo_BrowseDevice(IntPtr.Zero) returns the number of units.</summary>
        [DllImport(Library, EntryPoint = "Kelvo_BrowseDevice", ExactSpelling = true)]
        public static extern int Kelvo_BrowseDevice(IntPtr summaries);

        [DllImport(Library, EntryPoint = "Kelvo_BrowseDeviceIndex", ExactSpelling = true)]
        public static extern int Kelvo_BrowseDeviceIndex(int index, out DeviceSummary summary);

        [DllImport(Library, EntryPoint = "Kelvo_Open", ExactSpelling = true)]
        public static extern IntPtr Kelvo_Open(uint modelCode, uint unitId);

        [DllImport(Library, EntryPoint = "Kelvo_OpenByIP", ExactSpelling = true)]
        public static extern IntPtr Kelvo_OpenByIP(
            [MarshalAs(UnmanagedType.LPStr)] string ipAddress);

        [DllImport(Library, EntryPoint = "Kelvo_Close", ExactSpelling = true)]
        public static extern int Kelvo_Close(IntPtr handle);

        [DllImport(Library, EntryPoint = "Kelvo_Access", ExactSpelling = true)]
        public static extern int Kelvo_Access(IntPtr handle, int length, [In, Out] byte[] buffer);

        [DllImport(Library, EntryPoint = "Kelvo_GetVerInfo", ExactSpelling = true)]
        public static extern int Kelvo_GetVerInfo(IntPtr handle, out VersionInfo info);

        [DllImport(Library, EntryPoint = "Kelvo_ReadDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_ReadDIO(IntPtr handle, uint port, out byte data);

        [DllImport(Library, EntryPoint = "Kelvo_WriteDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_WriteDIO(IntPtr handle, uint port, uint value, uint mask);

        [DllImport(Library, EntryPoint = "Kelvo_MultiReadDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MultiReadDIO(IntPtr handle, uint count,
            [In] byte[] ports, [Out] byte[] data);

        [DllImport(Library, EntryPoint = "Kelvo_MultiWriteDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MultiWriteDIO(IntPtr handle, uint count,
            [In] byte[] ports, [In] byte[] values, [In] byte[] masks);

        [DllImport(Library, EntryPoint = "Kelvo_SetChDirDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_SetChDirDIO(IntPtr handle, uint count,
            [In] byte[] directions);

        [DllImport(Library, EntryPoint = "Kelvo_ReadAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_ReadAIO(IntPtr handle, uint channel, out int value);

        [DllImport(Library, EntryPoint = "Kelvo_WriteAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_WriteAIO(IntPtr handle, uint channel, int value);

        [DllImport(Library, EntryPoint = "Kelvo_MultiReadAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MultiReadAIO(IntPtr handle, uint count,
            [In] byte[] channels, [Out] int[] values);

        [DllImport(Library, EntryPoint = "Kelvo_MultiWriteAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MultiWriteAIO(IntPtr handle, uint count,
            [In] byte[] channels, [In] int[] values);

        [DllImport(Library, EntryPoint = "Kelvo_SetGainAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_SetGainAIO(IntPtr handle, uint channel, uint gain);

        [DllImport(Library, EntryPoint = "Kelvo_ReadCOU", ExactSpelling = true)]
        public static extern ushort Kelvo_ReadCOU(IntPtr handle, uint channel, out int value);

        [DllImport(Library, EntryPoint = "Kelvo_WriteCOU", ExactSpelling = true)]
        public static extern ushort Kelvo_WriteCOU(IntPtr handle, uint channel, int value);

        [DllImport(Library, EntryPoint = "Kelvo_SetModeCOU", ExactSpelling = true)]
        public static extern ushort Kelvo_SetModeCOU(IntPtr handle, uint channel, uint modeLow,
            uint modeHigh);

        [DllImport(Library, EntryPoint = "Kelvo_SetMemSamplingCycleDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_SetMemSamplingCycleDIO(IntPtr handle, uint timing,
            uint cycle);

        [DllImport(Library, EntryPoint = "Kelvo_GetMemSamplingCycleDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_GetMemSamplingCycleDIO(IntPtr handle, out byte timing,
            out byte cycle);

        [DllImport(Library, EntryPoint = "Kelvo_SetMemTrgDataDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_SetMemTrgDataDIO(IntPtr handle, uint count,
            [In] byte[] data1, [In] byte[] data2);

        [DllImport(Library, EntryPoint = "Kelvo_GetMemTrgDataDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_GetMemTrgDataDIO(IntPtr handle, ref byte count,
            [Out] byte[] data1, [Out] byte[] data2);

        [DllImport(Library, EntryPoint = "Kelvo_SetMemTriggerDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_SetMemTriggerDIO(IntPtr handle, uint lower, uint upper,
            uint value);

        [DllImport(Library, EntryPoint = "Kelvo_GetMemTriggerDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_GetMemTriggerDIO(IntPtr handle, out byte lower,
            out byte upper, out ushort value);

        [DllImport(Library, EntryPoint = "Kelvo_SetMemSamplingCycleAI", ExactSpelling = true)]
        public static extern ushort Kelvo_SetMemSamplingCycleAI(IntPtr handle, uint timing,
            uint cycle);

        [DllImport(Library, EntryPoint = "Kelvo_GetMemSamplingCycleAI", ExactSpelling = true)]
        public static extern ushort Kelvo_GetMemSamplingCycleAI(IntPtr handle, out byte timing,
            out byte cycle);

        [DllImport(Library, EntryPoint = "Kelvo_SetMemOutputModeAO", ExactSpelling = true)]
        public static extern ushort Kelvo_SetMemOutputModeAO(IntPtr handle, uint mode);

        [DllImport(Library, EntryPoint = "Kelvo_GetMemOutputModeAO", ExactSpelling = true)]
        public static extern ushort Kelvo_GetMemOutputModeAO(IntPtr handle, out byte mode);

        [DllImport(Library, EntryPoint = "Kelvo_SetMemTargetChannelAI", ExactSpelling = true)]
        public static extern ushort Kelvo_SetMemTargetChannelAI(IntPtr handle, uint count,
            [In] byte[] channels);

        [DllImport(Library, EntryPoint = "Kelvo_SetMemSamplingFreqAO", ExactSpelling = true)]
        public static extern ushort Kelvo_SetMemSamplingFreqAO(IntPtr handle, uint timing,
            uint frequency);

        [DllImport(Library, EntryPoint = "Kelvo_GetMemSamplingFreqAO", ExactSpelling = true)]
        public static extern ushort Kelvo_GetMemSamplingFreqAO(IntPtr handle, out byte timing,
            out uint frequency);

        [DllImport(Library, EntryPoint = "Kelvo_SetMemTrgDataAI", ExactSpelling = true)]
        public static extern ushort Kelvo_SetMemTrgDataAI(IntPtr handle, uint channel, uint data);

        [DllImport(Library, EntryPoint = "Kelvo_GetMemTrgDataAI", ExactSpelling = true)]
        public static extern ushort Kelvo_GetMemTrgDataAI(IntPtr handle, out byte channel,
            out byte data);

        [DllImport(Library, EntryPoint = "Kelvo_SetMemTriggerAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_SetMemTriggerAIO(IntPtr handle, uint lower, uint upper,
            uint value);

        [DllImport(Library, EntryPoint = "Kelvo_GetMemTriggerAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_GetMemTriggerAIO(IntPtr handle, out byte lower,
            out byte upper, out ushort value);

        [DllImport(Library, EntryPoint = "Kelvo_MemStartDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemStartDIO(IntPtr handle);

        [DllImport(Library, EntryPoint = "Kelvo_MemStopDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemStopDIO(IntPtr handle);

        [DllImport(Library, EntryPoint = "Kelvo_MemSampleStatusDIO", ExactSpelling = true)]
        public static extern byte Kelvo_MemSampleStatusDIO(IntPtr handle, out uint count);

        [DllImport(Library, EntryPoint = "Kelvo_MemSeekDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemSeekDIO(IntPtr handle, uint position);

        [DllImport(Library, EntryPoint = "Kelvo_MemReadDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemReadDIO(IntPtr handle, uint length,
            [Out] byte[] buffer);

        [DllImport(Library, EntryPoint = "Kelvo_MemWriteDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemWriteDIO(IntPtr handle, uint length,
            [In] byte[] buffer);

        [DllImport(Library, EntryPoint = "Kelvo_MemSeekReadDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemSeekReadDIO(IntPtr handle, uint length,
            [Out] byte[] buffer);

        [DllImport(Library, EntryPoint = "Kelvo_MemSeekWriteDIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemSeekWriteDIO(IntPtr handle, uint length,
            [In] byte[] buffer);

        [DllImport(Library, EntryPoint = "Kelvo_MemStartAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemStartAIO(IntPtr handle);

        [DllImport(Library, EntryPoint = "Kelvo_MemStopAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemStopAIO(IntPtr handle);

        [DllImport(Library, EntryPoint = "Kelvo_MemSampleStatusAIO", ExactSpelling = true)]
        public static extern byte Kelvo_MemSampleStatusAIO(IntPtr handle, out uint count);

        [DllImport(Library, EntryPoint = "Kelvo_MemSeekAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemSeekAIO(IntPtr handle, uint position);

        [DllImport(Library, EntryPoint = "Kelvo_MemReadAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemReadAIO(IntPtr handle, uint length,
            [Out] byte[] buffer);

        [DllImport(Library, EntryPoint = "Kelvo_MemWriteAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemWriteAIO(IntPtr handle, uint length,
            [In] byte[] buffer);

        [DllImport(Library, EntryPoint = "Kelvo_MemSeekReadAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemSeekReadAIO(IntPtr handle, uint length,
            [Out] byte[] buffer);

        [DllImport(Library, EntryPoint = "Kelvo_MemSeekWriteAIO", ExactSpelling = true)]
        public static extern ushort Kelvo_MemSeekWriteAIO(IntPtr handle, uint length,
            [In] byte[] buffer);
    }
}
