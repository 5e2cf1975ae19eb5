#include "miner/network.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <memory>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "paths.h"

namespace
{
struct fd_closer {
    int fd;
    ~fd_closer()
    {
        if (fd >= 0)
            close(fd);
    }
};
using file_ptr = std::unique_ptr<FILE, int (*)(FILE *)>;
} // namespace

int net_parse_default_gateway(FILE *route, in_addr_t *gateway)
{
    char line[1024];
    *gateway = 0;
    while (fgets(line, sizeof(line), route)) {
        unsigned long dest, gw;
        if (sscanf(line, "%*s %lx %lx", &dest, &gw) == 2 && dest == 0) {
            *gateway = static_cast<in_addr_t>(gw);
            break;
        }
    }
    return *gateway != 0 ? 0 : -1;
}

int net_parse_ns_servers(FILE *resolv, in_addr_t *ns, int *ns_count)
{
    static const char key[] = "nameserver";
    char line[256];
    *ns_count = 0;
    while (fgets(line, sizeof(line), resolv)) {
        if (strncmp(line, key, sizeof(key) - 1) != 0)
            continue;
        char *p = line + sizeof(key) - 1;
        if (!isspace(static_cast<unsigned char>(*p)))
            continue;
        while (*p && isspace(static_cast<unsigned char>(*p)))
            p++;
        char *end = p;
        while (*end && !isspace(static_cast<unsigned char>(*end)))
            end++;
        *end = '\0';
        in_addr_t addr;
        if (*ns_count < NETINFO_MAX_NS && inet_pton(AF_INET, p, &addr) == 1)
            ns[(*ns_count)++] = addr;
    }
    return 0;
}

static int get_default_gateway(in_addr_t *gateway)
{
    file_ptr f(fopen(PATH_PROC_NET_ROUTE, "r"), fclose);
    if (!f) {
        LOG_ERROR("Failed to open /proc/net/route");
        return -1;
    }
    return net_parse_default_gateway(f.get(), gateway);
}

static int get_ns_servers(in_addr_t *ns, int *ns_count)
{
    *ns_count = 0;
    file_ptr f(fopen(PATH_RESOLV_CONF, "r"), fclose);
    if (!f)
        return -1;
    return net_parse_ns_servers(f.get(), ns, ns_count);
}

static int iface_request(int soc, const char *iface, unsigned long req, struct ifreq *ifr)
{
    memset(ifr, 0, sizeof(*ifr));
    snprintf(ifr->ifr_name, IFNAMSIZ, "%s", iface);
    return ioctl(soc, req, ifr);
}

int net_get_info(const char *iface, struct netinfo *ni)
{
    int soc = socket(AF_INET, SOCK_DGRAM, 0);
    if (soc < 0) {
        LOG_ERROR("Failed to create socket, code: %d", soc);
        return -1;
    }
    {
        fd_closer closer{soc};
        struct ifreq ifr;

        if (iface_request(soc, iface, SIOCGIFHWADDR, &ifr) < 0) {
            LOG_ERROR("Failed to call ioctl(soc, SIOCGIFHWADDR, &ifr)");
            return -1;
        }
        memcpy(ni->mac.ether_addr_octet, ifr.ifr_hwaddr.sa_data, 6);

        if (iface_request(soc, iface, SIOCGIFADDR, &ifr) < 0) {
            LOG_ERROR("Failed to call ioctl(soc, SIOCGIFADDR, &ifr)");
            return -1;
        }
        ni->ip = reinterpret_cast<struct sockaddr_in *>(&ifr.ifr_addr)->sin_addr.s_addr;

        if (iface_request(soc, iface, SIOCGIFNETMASK, &ifr) < 0) {
            LOG_ERROR("Failed to call ioctl(soc, SIOCGIFNETMASK, &ifr)");
            return -1;
        }
        ni->netmask = reinterpret_cast<struct sockaddr_in *>(&ifr.ifr_netmask)->sin_addr.s_addr;
    }

    if (get_default_gateway(&ni->gateway) < 0) {
        LOG_ERROR("Failed to obtain default gateway address");
        return -1;
    }
    if (get_ns_servers(ni->ns, &ni->ns_count) < 0) {
        LOG_ERROR("Failed to obtain name servers");
        return -1;
    }
    return 0;
}
