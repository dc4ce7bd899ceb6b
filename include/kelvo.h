/*
 * kelvo.h - client library for Kelvo Ethernet I/O units.
 *
 * The library is KelvoDLL.dll (32-bit Windows, standard-call exports) or
 * libkelvo.so (Linux). Call Kelvo_Initial to find units, list them with
 * Kelvo_BrowseDevice, open one with Kelvo_Open or Kelvo_OpenByIP, then pass the
 * returned handle to the I/O and sampling calls.
 *
 * Every scalar argument is one 32-bit word; where a call says "byte" only the
 * low 8 bits of the word are used, where it says "16-bit" only the low 16.
 *
 * Threads: calls on different handles run at the same time, so one thread
 * per unit scales. Calls on one handle from several threads are serialized
 * by the library (a lock per unit), never interleaved on the unit's frame.
 * Kelvo_Initial waits for the calls in flight, then replaces the one
 * process-wide list of units: it invalidates every handle handed out before
 * it, and a call with such a handle (even one made meanwhile) returns its
 * failure value without touching the released unit. Kelvo_Close waits for
 * the unit's call in flight.
 *
 * Results: the I/O, configuration and sampling calls return a 16-bit status
 * (KELVO_STATUS_*). The discovery and connection calls return a count, a
 * handle (NULL on failure) or 1/0. Pointer arguments are not checked.
 */
#ifndef KELVO_H
#define KELVO_H

#include <stdint.h>

#if defined(_WIN32)
#define KELVO_CALL __stdcall
#if defined(KELVO_BUILD)
#define KELVO_API /* named by the module-definition file */
#else
#define KELVO_API __declspec(dllimport)
#endif
#else
#define KELVO_CALL
#if defined(KELVO_BUILD)
#define KELVO_API __attribute__((visibility("default")))
#else
#define KELVO_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A device handle: valid from Kelvo_Open until the next Kelvo_Initial. */
typedef void* KELVO_HANDLE;

/* Status codes. (Prefixed: winnt.h already defines STATUS_NO_MEMORY.) */
#define KELVO_STATUS_OK 0x0000          /* the operation succeeded */
#define KELVO_STATUS_NO_MEMORY 0x8008   /* a working buffer could not be had */
#define KELVO_STATUS_NOT_OPEN 0x8010    /* the handle is not a known unit */
#define KELVO_STATUS_COMM_ERROR 0x8011  /* the exchange with the unit failed */
#define KELVO_STATUS_BAD_SETTING 0x8020 /* setting kind or value out of range */
#define KELVO_STATUS_BAD_CHANNEL 0x8021 /* port or channel outside the model */

/* One unit as listed by browsing: 21 bytes, records follow without gaps. */
#pragma pack(push, 1)
typedef struct KelvoDeviceSummary {
    uint8_t modelCode; /* 1..20 name a model; others are unknown models */
    uint8_t unitId;    /* tells units of the same model apart */
    uint8_t auxByte;   /* second identification byte of the unit */
    uint8_t total;     /* number of ports or channels; 0 for unknown models */
    uint8_t bits;      /* width of one port or channel value */
    char name[16];     /* "KV-103"; empty for unknown models. Only the bytes
                          up to the terminating zero are written */
} KelvoDeviceSummary;

/* Library and unit versions: 37 bytes; a part that was not obtained is 0. */
typedef struct KelvoVersionInfo {
    uint8_t libraryMajor;
    uint8_t libraryMinor;
    char libraryDate[16]; /* "2026/12/08" */
    uint8_t deviceInfo;
    uint8_t deviceMajor;
    uint8_t deviceMinor;
    char deviceDate[16];
} KelvoVersionInfo;
#pragma pack(pop)

typedef char kelvo_summary_is_21_bytes[sizeof(KelvoDeviceSummary) == 21 ? 1 : -1];
typedef char kelvo_version_is_37_bytes[sizeof(KelvoVersionInfo) == 37 ? 1 : -1];

/* ---- Discovery and connections ------------------------------------------ */

/* Kelvo_Initial - find units.
 * Forgets every known unit (closing connections, invalidating handles), reads
 * "Kelvo.ini" from the Windows directory, broadcasts a query on UDP port 30718
 * unless the file's first line is 1, asks every unit who it is over TCP, and
 * drops units that stay unidentified. Takes at least 1.5 s when it
 * broadcasts: it collects answers until 1.5 s pass without one, but never
 * more than 4096 answers and never longer than 15 s after the query, so that
 * a host that keeps answering cannot hold the call or grow the list without
 * end. Returns the number of units now known (0 when none). */
KELVO_API int32_t KELVO_CALL Kelvo_Initial(void);

/* Kelvo_BrowseDevice - list units.
 * summaries NULL: returns the number of units. Otherwise writes one 21-byte
 * record per unit, in list order, and returns the number written. */
KELVO_API int32_t KELVO_CALL Kelvo_BrowseDevice(KelvoDeviceSummary* summaries);

/* Kelvo_BrowseDeviceIndex - describe the unit at position index (16-bit,
 * signed, from 0). Returns 1 when written, 0 when index is out of range. */
KELVO_API int32_t KELVO_CALL Kelvo_BrowseDeviceIndex(int32_t index, KelvoDeviceSummary* summary);

/* Kelvo_Open - connect to the first unit with this model code and unit ID
 * (bytes). Returns its handle (the same handle when already connected), or
 * NULL when no unit matches or the connection is refused. */
KELVO_API KELVO_HANDLE KELVO_CALL Kelvo_Open(uint32_t modelCode, uint32_t unitId);

/* Kelvo_OpenByIP - as Kelvo_Open, choosing the unit by its dotted IPv4
 * address text. */
KELVO_API KELVO_HANDLE KELVO_CALL Kelvo_OpenByIP(const char* ipAddress);

/* Kelvo_Close - close the unit's connection; the handle stays valid and a
 * later call reconnects. Returns 1 if a connection was closed, else 0. */
KELVO_API int32_t KELVO_CALL Kelvo_Close(KELVO_HANDLE handle);

/* Kelvo_Access - exchange a raw frame.
 * Sends the first length bytes of buffer (16-bit signed, 8..256; byte 2 is
 * replaced by the unit's sequence number) and copies the reply's data bytes
 * (as many as reply byte 4 says, at most 240) back into buffer. Returns 1 on
 * success; 0 when the handle is unknown or not connected, buffer is NULL,
 * length is out of range, or the exchange failed. */
KELVO_API int32_t KELVO_CALL Kelvo_Access(KELVO_HANDLE handle, int32_t length, uint8_t* buffer);

/* Kelvo_GetVerInfo - fill info with the library's version and, for a
 * connected unit, the unit's. Returns 1 if either part was filled. */
KELVO_API int32_t KELVO_CALL Kelvo_GetVerInfo(KELVO_HANDLE handle, KelvoVersionInfo* info);

/* ---- Digital I/O ---------------------------------------------------------
 * A digital unit has up to 8 ports of 8 lines. Reads accept ports below the
 * model's input count, writes ports below its total. Each call makes at most
 * one exchange. Errors: KELVO_STATUS_NOT_OPEN, KELVO_STATUS_BAD_CHANNEL (no
 * exchange), KELVO_STATUS_COMM_ERROR (the connection is renewed). */

/* Kelvo_ReadDIO - read one port into *data (0 on any failure). */
KELVO_API uint16_t KELVO_CALL Kelvo_ReadDIO(KELVO_HANDLE handle, uint32_t port, uint8_t* data);

/* Kelvo_WriteDIO - set the lines of port selected by mask to value. */
KELVO_API uint16_t KELVO_CALL Kelvo_WriteDIO(KELVO_HANDLE handle, uint32_t port, uint32_t value,
                                             uint32_t mask);

/* Kelvo_MultiReadDIO - data[i] = value of ports[i], for count entries. The
 * ports are checked after the read: on a bad entry the entries before it are
 * filled, it and the rest are 0, and KELVO_STATUS_BAD_CHANNEL is returned. */
KELVO_API uint16_t KELVO_CALL Kelvo_MultiReadDIO(KELVO_HANDLE handle, uint32_t count,
                                                 const uint8_t* ports, uint8_t* data);

/* Kelvo_MultiWriteDIO - write values[i] under masks[i] to ports[i] in one
 * exchange; a later entry for the same port wins. count 0 gives
 * KELVO_STATUS_BAD_CHANNEL. */
KELVO_API uint16_t KELVO_CALL Kelvo_MultiWriteDIO(KELVO_HANDLE handle, uint32_t count,
                                                  const uint8_t* ports, const uint8_t* values,
                                                  const uint8_t* masks);

/* Kelvo_SetChDirDIO - send direction bytes for ports 0..count-1 (count <= 8;
 * the meaning of the bits is the unit's). */
KELVO_API uint16_t KELVO_CALL Kelvo_SetChDirDIO(KELVO_HANDLE handle, uint32_t count,
                                                const uint8_t* directions);

/* ---- Analog I/O and counters ---------------------------------------------
 * Values are signed 32-bit; single reads are sign-extended from the model's
 * bit width. Reads accept channels below the input count, writes below the
 * output count. The multi-channel calls treat the channel list as a set: the
 * k-th value belongs to the k-th lowest valid channel, and channels outside
 * the model are skipped without error; they may return
 * KELVO_STATUS_NO_MEMORY. */

KELVO_API uint16_t KELVO_CALL Kelvo_ReadAIO(KELVO_HANDLE handle, uint32_t channel, int32_t* value);
KELVO_API uint16_t KELVO_CALL Kelvo_WriteAIO(KELVO_HANDLE handle, uint32_t channel, int32_t value);
KELVO_API uint16_t KELVO_CALL Kelvo_MultiReadAIO(KELVO_HANDLE handle, uint32_t count,
                                                 const uint8_t* channels, int32_t* values);
KELVO_API uint16_t KELVO_CALL Kelvo_MultiWriteAIO(KELVO_HANDLE handle, uint32_t count,
                                                  const uint8_t* channels, const int32_t* values);
/* Kelvo_SetGainAIO - send the gain byte for a channel (not range-checked). */
KELVO_API uint16_t KELVO_CALL Kelvo_SetGainAIO(KELVO_HANDLE handle, uint32_t channel,
                                               uint32_t gain);
KELVO_API uint16_t KELVO_CALL Kelvo_ReadCOU(KELVO_HANDLE handle, uint32_t channel, int32_t* value);
KELVO_API uint16_t KELVO_CALL Kelvo_WriteCOU(KELVO_HANDLE handle, uint32_t channel, int32_t value);
/* Kelvo_SetModeCOU - send the mode byte (modeHigh << 4) | modeLow. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetModeCOU(KELVO_HANDLE handle, uint32_t channel,
                                               uint32_t modeLow, uint32_t modeHigh);

/* ---- Sampling settings ----------------------------------------------------
 * These only change or read the settings kept for the unit; nothing is sent.
 * The settings travel with the next Kelvo_MemStart* / Kelvo_MemStop*.
 * Errors: KELVO_STATUS_NOT_OPEN, KELVO_STATUS_BAD_SETTING. Getters write their
 * outputs only on KELVO_STATUS_OK. Timing flag: 0x00 or 0x04; output-mode
 * flag: 0x00 or 0x08; upper trigger code is given in bits 4..7. */

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingCycleDIO(KELVO_HANDLE handle, uint32_t timing,
                                                           uint32_t cycle);
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingCycleDIO(KELVO_HANDLE handle, uint8_t* timing,
                                                           uint8_t* cycle);
/* count is ignored; data1 and data2 point to 2 bytes each. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTrgDataDIO(KELVO_HANDLE handle, uint32_t count,
                                                     const uint8_t* data1, const uint8_t* data2);
/* Writes data1 and data2 only when *count is 2. */
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTrgDataDIO(KELVO_HANDLE handle, const uint8_t* count,
                                                     uint8_t* data1, uint8_t* data2);
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTriggerDIO(KELVO_HANDLE handle, uint32_t lower,
                                                     uint32_t upper, uint32_t value);
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTriggerDIO(KELVO_HANDLE handle, uint8_t* lower,
                                                     uint8_t* upper, uint16_t* value);
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingCycleAI(KELVO_HANDLE handle, uint32_t timing,
                                                          uint32_t cycle);
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingCycleAI(KELVO_HANDLE handle, uint8_t* timing,
                                                          uint8_t* cycle);
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemOutputModeAO(KELVO_HANDLE handle, uint32_t mode);
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemOutputModeAO(KELVO_HANDLE handle, uint8_t* mode);
/* Selects analog channels 0..15 for sampling; others are skipped. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTargetChannelAI(KELVO_HANDLE handle, uint32_t count,
                                                          const uint8_t* channels);
/* frequency: the low 24 bits are kept. */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingFreqAO(KELVO_HANDLE handle, uint32_t timing,
                                                         uint32_t frequency);
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingFreqAO(KELVO_HANDLE handle, uint8_t* timing,
                                                         uint32_t* frequency);
/* channel must be below 16 (else KELVO_STATUS_BAD_SETTING, checked first). */
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTrgDataAI(KELVO_HANDLE handle, uint32_t channel,
                                                    uint32_t data);
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTrgDataAI(KELVO_HANDLE handle, uint8_t* channel,
                                                    uint8_t* data);
KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTriggerAIO(KELVO_HANDLE handle, uint32_t lower,
                                                     uint32_t upper, uint32_t value);
KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTriggerAIO(KELVO_HANDLE handle, uint8_t* lower,
                                                     uint8_t* upper, uint16_t* value);

/* ---- Sampling control and memory transfer ---------------------------------
 * The DIO and AIO names of each pair do the same thing. Transfers move the
 * unit's memory in chunks of up to 248 bytes; a failed chunk ends the
 * transfer with KELVO_STATUS_COMM_ERROR (earlier chunks have moved). */

KELVO_API uint16_t KELVO_CALL Kelvo_MemStartDIO(KELVO_HANDLE handle);
KELVO_API uint16_t KELVO_CALL Kelvo_MemStopDIO(KELVO_HANDLE handle);
/* Returns the unit's sampling status byte and sets *count to the memory
 * count; both 0 on any failure. */
KELVO_API uint8_t KELVO_CALL Kelvo_MemSampleStatusDIO(KELVO_HANDLE handle, uint32_t* count);
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekDIO(KELVO_HANDLE handle, uint32_t position);
KELVO_API uint16_t KELVO_CALL Kelvo_MemReadDIO(KELVO_HANDLE handle, uint32_t length,
                                               uint8_t* buffer);
KELVO_API uint16_t KELVO_CALL Kelvo_MemWriteDIO(KELVO_HANDLE handle, uint32_t length,
                                                const uint8_t* buffer);
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekReadDIO(KELVO_HANDLE handle, uint32_t length,
                                                   uint8_t* buffer);
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekWriteDIO(KELVO_HANDLE handle, uint32_t length,
                                                    const uint8_t* buffer);
KELVO_API uint16_t KELVO_CALL Kelvo_MemStartAIO(KELVO_HANDLE handle);
KELVO_API uint16_t KELVO_CALL Kelvo_MemStopAIO(KELVO_HANDLE handle);
KELVO_API uint8_t KELVO_CALL Kelvo_MemSampleStatusAIO(KELVO_HANDLE handle, uint32_t* count);
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekAIO(KELVO_HANDLE handle, uint32_t position);
KELVO_API uint16_t KELVO_CALL Kelvo_MemReadAIO(KELVO_HANDLE handle, uint32_t length,
                                               uint8_t* buffer);
KELVO_API uint16_t KELVO_CALL Kelvo_MemWriteAIO(KELVO_HANDLE handle, uint32_t length,
                                                const uint8_t* buffer);
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekReadAIO(KELVO_HANDLE handle, uint32_t length,
                                                   uint8_t* buffer);
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekWriteAIO(KELVO_HANDLE handle, uint32_t length,
                                                    const uint8_t* buffer);

#ifdef __cplusplus
}
#endif

#endif /* KELVO_H */
