#include "miner/network.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <memory>
#include <net/if.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "owners.h"
#include "paths.h"
#include "shell.h"
#include "util.h"

// The network script runs on the service thread: past this it is killed, so
// that traffic, reconnects and the connection-hang exit go on (a DHCP client
// left in the foreground never ends by itself).
#define NET_SCRIPT_TIMEOUT_MS 30000

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
    file_ptr f(fopen(PATH_PROC_NET_ROUTE, "r"));
    if (!f) {
        LOG_ERROR("Failed to open /proc/net/route");
        return -1;
    }
    return net_parse_default_gateway(f.get(), gateway);
}

static int get_ns_servers(in_addr_t *ns, int *ns_count)
{
    *ns_count = 0;
    file_ptr f(fopen(PATH_RESOLV_CONF, "r"));
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
        fd_owner closer(soc);
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

/* ---- saved settings --------------------------------------------------------------- */

// The host name as stored, even if a caller left the array unterminated.
static std::string host_name(const struct net_config *cfg)
{
    return std::string(cfg->hostname, strnlen(cfg->hostname, sizeof(cfg->hostname) - 1));
}

static int ns_count_of(const struct net_config *cfg)
{
    if (cfg->ns_count < 0)
        return 0;
    return cfg->ns_count > NETINFO_MAX_NS ? NETINFO_MAX_NS : cfg->ns_count;
}

// dnsservers="a.b.c.d e.f.g.h": quotes count as blanks, runs of blanks as one.
// Replaces the servers read so far; a value without any server is logged, not refused.
static void parse_dnsservers(char *val, struct net_config *cfg)
{
    std::string text(val);
    for (char *p = val; *p; p++) {
        if (*p == '"')
            *p = ' ';
    }
    cfg->ns_count = 0;
    memset(cfg->ns, 0, sizeof(cfg->ns));
    char *save = nullptr;
    for (char *tok = strtok_r(val, " ", &save); tok && cfg->ns_count < NETINFO_MAX_NS;
         tok = strtok_r(nullptr, " ", &save)) {
        if (strlen(tok) <= 6) // shorter than any dotted quad ("1.1.1.1")
            continue;
        in_addr_t addr;
        if (inet_pton(AF_INET, tok, &addr) == 1)
            cfg->ns[cfg->ns_count++] = addr;
    }
    if (cfg->ns_count == 0)
        LOG_ERROR("Failed to parse ns-servers: %s", text.c_str());
}

// Applies one key=value pair; false for a key this file never holds.
static bool apply_setting(const char *key, char *val, struct net_config *cfg)
{
    in_addr_t addr;
    if (strcmp(key, "dhcp") == 0) {
        cfg->mode = strncmp(val, "true", 4) == 0 ? NET_MODE_DHCP : NET_MODE_STATIC;
    } else if (strcmp(key, "hostname") == 0) {
        memset(cfg->hostname, 0, sizeof(cfg->hostname));
        // Cut at a character boundary: half a character is not UTF-8 and
        // would keep the whole network view out of the upload.
        util_copy_utf8(cfg->hostname, sizeof(cfg->hostname), val);
    } else if (strcmp(key, "ipaddress") == 0) {
        if (inet_pton(AF_INET, val, &addr) == 1) {
            cfg->ip = addr;
            cfg->mode = NET_MODE_STATIC;
        }
    } else if (strcmp(key, "netmask") == 0) {
        if (inet_pton(AF_INET, val, &addr) == 1)
            cfg->netmask = addr;
    } else if (strcmp(key, "gateway") == 0) {
        if (inet_pton(AF_INET, val, &addr) == 1)
            cfg->gateway = addr;
    } else if (strcmp(key, "dnsservers") == 0) {
        parse_dnsservers(val, cfg);
    } else {
        LOG_ERROR("Unsupported %s=%s", key, val);
        return false;
    }
    return true;
}

// One line (or piece of an overlong one): 0 when applied or ignored, -1 when not understood.
// Nothing is trimmed: a blank before '=' belongs to the key, a '\r' to the value.
static int parse_line(char *line, struct net_config *cfg)
{
    line[strcspn(line, "\n")] = '\0';
    line[strcspn(line, "#")] = '\0';
    if (strlen(line) <= 4)
        return 0;

    char *key = line + strspn(line, "=");
    char *p = key + strcspn(key, "=");
    bool has_sep = *p == '=';
    if (has_sep)
        *p++ = '\0';
    char *val = p + strspn(p, "=");
    val[strcspn(val, "=")] = '\0';
    for (p = key; *p; p++)
        *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));

    // "hostname=" is an empty host name, as written for one.
    bool empty_host = has_sep && strcmp(key, "hostname") == 0;
    if (*key == '\0' || (*val == '\0' && !empty_host) || !apply_setting(key, val, cfg)) {
        LOG_ERROR("Failed to parse %s", key);
        return -1;
    }
    return 0;
}

int net_load_config(const char *path, struct net_config *cfg)
{
    file_ptr f(fopen(path, "r"));
    if (!f) {
        LOG_ERROR("Failed to load %s", path);
        return -1;
    }
    memset(cfg, 0, sizeof(*cfg));
    char line[1024];
    for (;;) {
        memset(line, 0, sizeof(line));
        if (!fgets(line, sizeof(line), f.get()))
            break;
        if (parse_line(line, cfg) < 0)
            return -1;
    }
    return 0;
}

int net_save_config(const char *path, struct net_config *cfg)
{
    char buf[16];
    std::string text = "hostname=" + host_name(cfg) + "\n";
    if (cfg->mode == NET_MODE_DHCP) {
        text += "dhcp=true\n";
    } else {
        text += std::string("ipaddress=") + inet_to_str(cfg->ip, buf) + "\n";
        text += std::string("netmask=") + inet_to_str(cfg->netmask, buf) + "\n";
        text += std::string("gateway=") + inet_to_str(cfg->gateway, buf) + "\n";
        text += "dnsservers=\"";
        for (int i = 0; i < ns_count_of(cfg); i++) {
            if (i > 0)
                text += ' ';
            text += inet_to_str(cfg->ns[i], buf);
        }
        text += "\"\n";
    }
    if (util_save_file(path, text.data(), text.size()) < 0) {
        LOG_ERROR("Failed to create %s", path);
        return -1;
    }
    return 0;
}

int net_restart(void)
{
    log_msg(LOG_LEVEL_INFO, "Restarting networking");
    shell_run_bounded(CMD_SYNC, NET_SCRIPT_TIMEOUT_MS);
    shell_run_bounded(CMD_NETWORK_RESTART, NET_SCRIPT_TIMEOUT_MS);
    return 0;
}

json_t *transform_net_config(struct net_config *cfg)
{
    std::string host = host_name(cfg);
    if (cfg->mode == NET_MODE_DHCP)
        return json_pack("{ss,ss}", "mode", "dhcp", "hostname", host.c_str());

    json_ptr servers(json_array());
    if (!servers)
        return nullptr;
    char buf[16];
    for (int i = 0; i < ns_count_of(cfg); i++) {
        json_t *s = json_string(inet_to_str(cfg->ns[i], buf));
        if (s)
            json_array_append_new(servers.get(), s);
    }
    char ip[16], netmask[16], gateway[16];
    // "O": the array keeps its own reference, so a failed pack leaves nothing behind.
    return json_pack("{ss,ss,ss,ss,ss,sO}", "mode", "static", "hostname", host.c_str(), "ip",
                     inet_to_str(cfg->ip, ip), "netmask", inet_to_str(cfg->netmask, netmask),
                     "gateway", inet_to_str(cfg->gateway, gateway), "dnsservers", servers.get());
}
