#include "miner/l3plus/config.h"

const int CHAIN_IDS[CHAIN_COUNT] = {1, 2, 3, 4};

bool verify_chain_id(int id)
{
    for (int chain : CHAIN_IDS) {
        if (chain == id)
            return true;
    }
    return false;
}
