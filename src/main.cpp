#include <malloc.h>

#include "agent.h"

int main(int argc, char **argv)
{
    // Large blocks (a miner answer may reach 8 MiB) are mapped on their own and
    // go back to the system when freed. glibc's sliding threshold would instead
    // move them into the arenas after the first such block, where each thread
    // that met one keeps its size for the life of the process.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    return agent_main(argc, argv);
}
