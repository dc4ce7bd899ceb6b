Attribute VB_Name = "Kelvo"
' Kelvo.bas - the Kelvo client library (KelvoDLL.dll) for VBA: Excel, Access, Word.
'
' Import this module (VBA editor: File > Import File). One module serves 32-bit
' and 64-bit Office: handles are LongPtr. Office loads the DLL of its own
' bitness: put the x86 KelvoDLL.dll beside the workbook (or in a folder on the
' PATH) for 32-bit Office, the x64 one for 64-bit Office. The 54 declarations
' below follow include/kelvo.h; a test compares them with it.
'
' Types: the status of the I/O, configuration and sampling calls is a 16-bit
' value, an Integer here (KELVO_STATUS_NOT_OPEN reads as -32752, the same bits).
' Every other scalar is a Long. Arrays are passed by their first element
' (ports(0)); the record types hold only Bytes, so they have no padding and
' keep the library's sizes (21 and 37 bytes).
'
' Example: list the units, then set and read a port of a KV-108, unit ID 1.
'
'   Sub KelvoDemo()
'       Dim n As Long, i As Long
'       n = Kelvo_Initial()                      ' finds units: at least 1.5 s
'       If n = 0 Then Exit Sub
'       ReDim units(0 To n - 1) As KelvoDeviceSummary
'       n = Kelvo_BrowseDevice(units(0))
'       For i = 0 To n - 1
'           Debug.Print KelvoName(units(i)); " unit "; units(i).unitId
'       Next i
'       Dim unit As LongPtr, value As Byte
'       unit = Kelvo_Open(8, 1)
'       If unit = 0 Then Exit Sub
'       If Kelvo_WriteDIO(unit, 0, &HA5, &HFF) = KELVO_STATUS_OK Then
'           If Kelvo_ReadDIO(unit, 0, value) = KELVO_STATUS_OK Then Debug.Print Hex(value)
'       End If
'       Kelvo_Close unit
'   End Sub
'
' Kelvo_BrowseDevice(ByVal 0&) returns the number of units without writing.
Option Explicit

Public Const KELVO_STATUS_OK As Integer = &H0
Public Const KELVO_STATUS_NO_MEMORY As Integer = &H8008
Public Const KELVO_STATUS_NOT_OPEN As Integer = &H8010
Public Const KELVO_STATUS_COMM_ERROR As Integer = &H8011
Public Const KELVO_STATUS_BAD_SETTING As Integer = &H8020
Public Const KELVO_STATUS_BAD_CHANNEL As Integer = &H8021

' One unit as listed by browsing: 21 bytes.
Public Type KelvoDeviceSummary
    modelCode As Byte
    unitId As Byte
    auxByte As Byte
    total As Byte
    bits As Byte
    name(0 To 15) As Byte
End Type

' Library and unit versions: 37 bytes.
Public Type KelvoVersionInfo
    libraryMajor As Byte
    libraryMinor As Byte
    libraryDate(0 To 15) As Byte
    deviceInfo As Byte
    deviceMajor As Byte
    deviceMinor As Byte
    deviceDate(0 To 15) As Byte
End Type

Public Declare PtrSafe Function Kelvo_Initial Lib "KelvoDLL.dll" () As Long
Public Declare PtrSafe Function Kelvo_BrowseDevice Lib "KelvoDLL.dll" ( _
        ByRef summaries As Any) As Long
Public Declare PtrSafe Function Kelvo_BrowseDeviceIndex Lib "KelvoDLL.dll" (ByVal index As Long, _
        ByRef summary As KelvoDeviceSummary) As Long
Public Declare PtrSafe Function Kelvo_Open Lib "KelvoDLL.dll" (ByVal modelCode As Long, _
        ByVal unitId As Long) As LongPtr
Public Declare PtrSafe Function Kelvo_OpenByIP Lib "KelvoDLL.dll" ( _
        ByVal ipAddress As String) As LongPtr
Public Declare PtrSafe Function Kelvo_Close Lib "KelvoDLL.dll" (ByVal handle As LongPtr) As Long
Public Declare PtrSafe Function Kelvo_Access Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal length As Long, ByRef buffer As Byte) As Long
Public Declare PtrSafe Function Kelvo_GetVerInfo Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByRef info As KelvoVersionInfo) As Long
Public Declare PtrSafe Function Kelvo_ReadDIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal port As Long, ByRef data As Byte) As Integer
Public Declare PtrSafe Function Kelvo_WriteDIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal port As Long, ByVal value As Long, ByVal mask As Long) As Integer
Public Declare PtrSafe Function Kelvo_MultiReadDIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal count As Long, ByRef ports As Byte, ByRef data As Byte) As Integer
Public Declare PtrSafe Function Kelvo_MultiWriteDIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal count As Long, ByRef ports As Byte, ByRef values As Byte, _
        ByRef masks As Byte) As Integer
Public Declare PtrSafe Function Kelvo_SetChDirDIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal count As Long, ByRef directions As Byte) As Integer
Public Declare PtrSafe Function Kelvo_ReadAIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal channel As Long, ByRef value As Long) As Integer
Public Declare PtrSafe Function Kelvo_WriteAIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal channel As Long, ByVal value As Long) As Integer
Public Declare PtrSafe Function Kelvo_MultiReadAIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal count As Long, ByRef channels As Byte, ByRef values As Long) As Integer
Public Declare PtrSafe Function Kelvo_MultiWriteAIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal count As Long, ByRef channels As Byte, ByRef values As Long) As Integer
Public Declare PtrSafe Function Kelvo_SetGainAIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal channel As Long, ByVal gain As Long) As Integer
Public Declare PtrSafe Function Kelvo_ReadCOU Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal channel As Long, ByRef value As Long) As Integer
Public Declare PtrSafe Function Kelvo_WriteCOU Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal channel As Long, ByVal value As Long) As Integer
Public Declare PtrSafe Function Kelvo_SetModeCOU Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal channel As Long, ByVal modeLow As Long, ByVal modeHigh As Long) As Integer
Public Declare PtrSafe Function Kelvo_SetMemSamplingCycleDIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByVal timing As Long, ByVal cycle As Long) As Integer
Public Declare PtrSafe Function Kelvo_GetMemSamplingCycleDIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByRef timing As Byte, ByRef cycle As Byte) As Integer
Public Declare PtrSafe Function Kelvo_SetMemTrgDataDIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByVal count As Long, ByRef data1 As Byte, _
        ByRef data2 As Byte) As Integer
Public Declare PtrSafe Function Kelvo_GetMemTrgDataDIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByRef count As Byte, ByRef data1 As Byte, _
        ByRef data2 As Byte) As Integer
Public Declare PtrSafe Function Kelvo_SetMemTriggerDIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByVal lower As Long, ByVal upper As Long, _
        ByVal value As Long) As Integer
Public Declare PtrSafe Function Kelvo_GetMemTriggerDIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByRef lower As Byte, ByRef upper As Byte, _
        ByRef value As Integer) As Integer
Public Declare PtrSafe Function Kelvo_SetMemSamplingCycleAI Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByVal timing As Long, ByVal cycle As Long) As Integer
Public Declare PtrSafe Function Kelvo_GetMemSamplingCycleAI Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByRef timing As Byte, ByRef cycle As Byte) As Integer
Public Declare PtrSafe Function Kelvo_SetMemOutputModeAO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByVal mode As Long) As Integer
Public Declare PtrSafe Function Kelvo_GetMemOutputModeAO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByRef mode As Byte) As Integer
Public Declare PtrSafe Function Kelvo_SetMemTargetChannelAI Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByVal count As Long, ByRef channels As Byte) As Integer
Public Declare PtrSafe Function Kelvo_SetMemSamplingFreqAO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByVal timing As Long, ByVal frequency As Long) As Integer
Public Declare PtrSafe Function Kelvo_GetMemSamplingFreqAO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByRef timing As Byte, ByRef frequency As Long) As Integer
Public Declare PtrSafe Function Kelvo_SetMemTrgDataAI Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByVal channel As Long, ByVal data As Long) As Integer
Public Declare PtrSafe Function Kelvo_GetMemTrgDataAI Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByRef channel As Byte, ByRef data As Byte) As Integer
Public Declare PtrSafe Function Kelvo_SetMemTriggerAIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByVal lower As Long, ByVal upper As Long, _
        ByVal value As Long) As Integer
Public Declare PtrSafe Function Kelvo_GetMemTriggerAIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByRef lower As Byte, ByRef upper As Byte, _
        ByRef value As Integer) As Integer
Public Declare PtrSafe Function Kelvo_MemStartDIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr) As Integer
Public Declare PtrSafe Function Kelvo_MemStopDIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr) As Integer
Public Declare PtrSafe Function Kelvo_MemSampleStatusDIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByRef count As Long) As Byte
Public Declare PtrSafe Function Kelvo_MemSeekDIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal position As Long) As Integer
Public Declare PtrSafe Function Kelvo_MemReadDIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal length As Long, ByRef buffer As Byte) As Integer
Public Declare PtrSafe Function Kelvo_MemWriteDIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal length As Long, ByRef buffer As Byte) As Integer
Public Declare PtrSafe Function Kelvo_MemSeekReadDIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal length As Long, ByRef buffer As Byte) As Integer
Public Declare PtrSafe Function Kelvo_MemSeekWriteDIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByVal length As Long, ByRef buffer As Byte) As Integer
Public Declare PtrSafe Function Kelvo_MemStartAIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr) As Integer
Public Declare PtrSafe Function Kelvo_MemStopAIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr) As Integer
Public Declare PtrSafe Function Kelvo_MemSampleStatusAIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByRef count As Long) As Byte
Public Declare PtrSafe Function Kelvo_MemSeekAIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal position As Long) As Integer
Public Declare PtrSafe Function Kelvo_MemReadAIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal length As Long, ByRef buffer As Byte) As Integer
Public Declare PtrSafe Function Kelvo_MemWriteAIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal length As Long, ByRef buffer As Byte) As Integer
Public Declare PtrSafe Function Kelvo_MemSeekReadAIO Lib "KelvoDLL.dll" (ByVal handle As LongPtr, _
        ByVal length As Long, ByRef buffer As Byte) As Integer
Public Declare PtrSafe Function Kelvo_MemSeekWriteAIO Lib "KelvoDLL.dll" ( _
        ByVal handle As LongPtr, ByVal length As Long, ByRef buffer As Byte) As Integer

' The model name of a browsed unit ("KV-108"), up to its terminating zero.
Public Function KelvoName(summary As KelvoDeviceSummary) As String
    Dim i As Long
    For i = 0 To 15
        If summary.name(i) = 0 Then Exit For
        KelvoName = KelvoName & Chr$(summary.name(i))
    Next i
End Function
