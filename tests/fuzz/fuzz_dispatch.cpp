// Server messages through reassembly and dispatch, as the session receives them.
//
// Input: one byte of fragment size (0: each message arrives whole), then up to
// eight messages separated by NUL bytes (a NUL cannot occur in a JSON text).
// Every message goes through receive_fragment in pieces of that size; a
// message after which the connection would be closed ends the input. The
// device files are reset before each input and the replies drained after
// each message.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agent.h"
#include "fuzz_env.h"
#include "paths.h"
#include "protocol.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    fuzz_env_init(*argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    FuzzFastSleep fast;
    fuzz_write_file(PATH_MINER_CONFIG, FUZZ_MINER_CONFIG);
    fuzz_write_file(PATH_NETWORK_CONFIG, FUZZ_NETWORK_CONFIG);
    fuzz_remove_file(PATH_HTDIGEST);

    agent_state state{};
    agent_vhd vhd{};
    vhd.state = &state;
    // The library hands the callback a zeroed record.
    agent_psd *psd = static_cast<agent_psd *>(calloc(1, sizeof(agent_psd)));
    if (!psd || session_open(psd, nullptr) != 0)
        abort();
    state.connected = true;

    const size_t chunk = data[0] ? data[0] : SIZE_MAX;
    const uint8_t *p = data + 1;
    const uint8_t *end = data + size;
    for (int count = 0; count < 8 && p <= end; count++) {
        const uint8_t *nul =
            static_cast<const uint8_t *>(memchr(p, 0, static_cast<size_t>(end - p)));
        const uint8_t *stop = nul ? nul : end;
        const size_t len = static_cast<size_t>(stop - p);
        size_t off = 0;
        int rc = 0;
        do {
            size_t n = len - off < chunk ? len - off : chunk;
            rc = receive_fragment(&vhd, psd, p + off, n, off == 0, off + n == len);
            off += n;
        } while (off < len);
        fuzz_drain(psd);
        if (rc < 0 || !nul)
            break;
        p = nul + 1;
    }

    fuzz_reset_state();
    fuzz_drain(psd);
    session_close(psd);
    free(psd);
    return 0;
}
