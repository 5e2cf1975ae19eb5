// The antminer-l3plus model: its hash chains and their chips.
#pragma once

#define CHAIN_COUNT 4
#define CHIPS_PER_CHAIN 72

// The miner's chain numbers; slot k of every per-chain table belongs to
// chain CHAIN_IDS[k].
extern const int CHAIN_IDS[CHAIN_COUNT];

// Whether id is one of CHAIN_IDS.
bool verify_chain_id(int id);
