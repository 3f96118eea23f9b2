// Attribute values as the gateway holds them in memory: one record per attribute
// value, batches of up to 16 per source device.
#pragma once

#include <cstdint>

// Manufacturer code of the batches the gateway builds itself.
constexpr uint16_t kZorvaMfgCode = 0x1286;

struct AttrRecord
{
    uint8_t  ep;
    uint16_t cluster_id;
    uint16_t attribute_id;
    uint8_t  status;    // from read answers only; 0 otherwise
    uint8_t  type;      // ZCL data type
    uint8_t  value[64]; // most significant byte first
};

struct AttrBatch
{
    uint16_t   short_addr;
    uint8_t    direction; // 1: from the server side, and the gateway's own confirmations
    uint16_t   mfg_code;
    AttrRecord entries[16];
    uint8_t    entry_count;
};
