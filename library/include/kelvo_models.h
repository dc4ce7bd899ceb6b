/*
 * kelvo_models.h - the Kelvo unit models: name, kind and counts.
 *
 * Header-only and read-only; C and C++. Kelvo_BrowseDevice reports a unit's
 * model code (1..20) with its `total` and `bits`; this table adds what a
 * program needs to check an argument before it calls the library: the kind
 * of the unit and how many of its positions are inputs and outputs.
 *
 *   const KelvoModel* m = kelvo_model(summary.modelCode);
 *   if (m && m->kind == KELVO_KIND_ANALOG_IN && channel < m->inputs) ...
 *
 * Counts, per kind:
 *   digital units   total = ports; inputs = readable ports (0..inputs-1);
 *                   outputs = writable ports; ports inputs..total-1 are the
 *                   outputs of an in/out unit, every port of a
 *                   bidirectional one is both
 *   analog units    inputs = input channels, outputs = output channels
 *   counter units   inputs = outputs = counter channels
 * bits is the width of one port or one analog or counter value.
 */
#ifndef KELVO_MODELS_H
#define KELVO_MODELS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum KelvoKind {
    KELVO_KIND_NONE = 0,          /* not a model */
    KELVO_KIND_DIGITAL_IN = 1,    /* digital input ports */
    KELVO_KIND_DIGITAL_OUT = 2,   /* digital output ports */
    KELVO_KIND_DIGITAL_INOUT = 3, /* input ports, then output ports */
    KELVO_KIND_DIGITAL_BIDIR = 4, /* every port readable and writable */
    KELVO_KIND_ANALOG_IN = 5,     /* analog input channels */
    KELVO_KIND_ANALOG_OUT = 6,    /* analog output channels */
    KELVO_KIND_COUNTER = 7        /* counter channels */
} KelvoKind;

typedef struct KelvoModel {
    uint8_t code;     /* the model code units report; 0 in the empty row */
    const char* name; /* "KV-101"...; NULL in the empty row */
    uint8_t kind;     /* a KelvoKind */
    uint8_t total;    /* port or channel positions */
    uint8_t inputs;   /* readable positions */
    uint8_t outputs;  /* writable positions */
    uint8_t bits;     /* width of one value */
} KelvoModel;

#define KELVO_MODEL_COUNT 20 /* codes 1..20 */

/* Row 0 is the empty row (no name, every count 0); rows 1..20 are the models. */
static const KelvoModel kelvo_model_table[KELVO_MODEL_COUNT + 1] = {
    {0, 0, KELVO_KIND_NONE, 0, 0, 0, 0},
    {1, "KV-101", KELVO_KIND_DIGITAL_IN, 2, 2, 0, 8},
    {2, "KV-102", KELVO_KIND_DIGITAL_IN, 2, 2, 0, 8},
    {3, "KV-103", KELVO_KIND_DIGITAL_INOUT, 2, 1, 1, 8},
    {4, "KV-104", KELVO_KIND_DIGITAL_INOUT, 2, 1, 1, 8},
    {5, "KV-105", KELVO_KIND_DIGITAL_OUT, 2, 0, 2, 8},
    {6, "KV-106", KELVO_KIND_DIGITAL_OUT, 2, 0, 2, 8},
    {7, "KV-107", KELVO_KIND_DIGITAL_OUT, 2, 0, 2, 8},
    {8, "KV-108", KELVO_KIND_DIGITAL_BIDIR, 3, 3, 3, 8},
    {9, "KV-109", KELVO_KIND_ANALOG_IN, 16, 16, 0, 16},
    {10, "KV-110", KELVO_KIND_ANALOG_OUT, 4, 0, 4, 12},
    {11, "KV-111", KELVO_KIND_COUNTER, 2, 2, 2, 16},
    {12, "KV-112", KELVO_KIND_DIGITAL_IN, 8, 8, 0, 8},
    {13, "KV-113", KELVO_KIND_DIGITAL_IN, 4, 4, 0, 8},
    {14, "KV-114", KELVO_KIND_DIGITAL_OUT, 8, 0, 8, 8},
    {15, "KV-115", KELVO_KIND_DIGITAL_OUT, 4, 0, 4, 8},
    {16, "KV-116", KELVO_KIND_DIGITAL_INOUT, 8, 4, 4, 8},
    {17, "KV-117", KELVO_KIND_DIGITAL_INOUT, 4, 2, 2, 8},
    {18, "KV-118", KELVO_KIND_DIGITAL_BIDIR, 2, 2, 2, 8},
    {19, "KV-119", KELVO_KIND_ANALOG_IN, 16, 16, 0, 16},
    {20, "KV-120", KELVO_KIND_ANALOG_OUT, 4, 0, 4, 12},
};

/* The row of a model code; NULL for a code that names no model. */
static inline const KelvoModel* kelvo_model(uint32_t code) {
    return code >= 1 && code <= KELVO_MODEL_COUNT ? &kelvo_model_table[code] : 0;
}

/* "digital input", "analog output", ...; "none" for KELVO_KIND_NONE. */
static inline const char* kelvo_kind_name(uint32_t kind) {
    switch (kind) {
        case KELVO_KIND_DIGITAL_IN:
            return "digital input";
        case KELVO_KIND_DIGITAL_OUT:
            return "digital output";
        case KELVO_KIND_DIGITAL_INOUT:
            return "digital input and output";
        case KELVO_KIND_DIGITAL_BIDIR:
            return "bidirectional digital";
        case KELVO_KIND_ANALOG_IN:
            return "analog input";
        case KELVO_KIND_ANALOG_OUT:
            return "analog output";
        case KELVO_KIND_COUNTER:
            return "counter";
        default:
            return "none";
    }
}

static inline int kelvo_kind_is_digital(uint32_t kind) {
    return kind >= KELVO_KIND_DIGITAL_IN && kind <= KELVO_KIND_DIGITAL_BIDIR;
}

static inline int kelvo_kind_is_analog(uint32_t kind) {
    return kind == KELVO_KIND_ANALOG_IN || kind == KELVO_KIND_ANALOG_OUT;
}

#ifdef __cplusplus
}
#endif

#endif /* KELVO_MODELS_H */
