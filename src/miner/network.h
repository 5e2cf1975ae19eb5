// Live state of a network interface, and the device's saved network settings.
#pragma once

#include <cstdio>
#include <jansson.h>
#include <netinet/ether.h>
#include <netinet/in.h>

#define NETINFO_MAX_NS 8

struct netinfo {
    struct ether_addr mac;
    in_addr_t ip;
    in_addr_t netmask;
    in_addr_t gateway;
    in_addr_t ns[NETINFO_MAX_NS];
    int ns_count;
};

// Fills ni for the named interface; 0, or -1 on any failure (ni then unusable).
int net_get_info(const char *iface, struct netinfo *ni);

// Parsers behind net_get_info, over already opened route and resolv.conf streams.
// The gateway is the first default route's, as the kernel prints it; -1 when there is none.
int net_parse_default_gateway(FILE *route, in_addr_t *gateway);
// Name servers in file order, at most NETINFO_MAX_NS; always 0.
int net_parse_ns_servers(FILE *resolv, in_addr_t *ns, int *ns_count);

/* ---- saved settings (PATH_NETWORK_CONFIG) ---------------------------------------- */

enum net_modes { NET_MODE_DHCP = 0, NET_MODE_STATIC = 1 };

// Always zeroed as a whole before it is filled, so two records of the same
// settings compare equal byte for byte. Addresses in network byte order, 0 when unset.
struct net_config {
    enum net_modes mode;
    char hostname[50]; // NUL-terminated, at most 49 characters
    in_addr_t ip;
    in_addr_t netmask;
    in_addr_t gateway;
    in_addr_t ns[NETINFO_MAX_NS];
    int ns_count; // 0..NETINFO_MAX_NS
};

// Reads the key=value file at path into cfg (zeroed first; a file without
// "dhcp" or "ipaddress" lines is DHCP). 0, or -1 when the file cannot be opened
// or a line is not understood (cfg then holds what the lines before it set).
int net_load_config(const char *path, struct net_config *cfg);
// Replaces the file at path atomically with cfg; 0, or -1 (the old file stays).
int net_save_config(const char *path, struct net_config *cfg);
// Syncs the disks and restarts networking with the saved settings; always 0.
// Each of the two commands is waited for 30 s at most (then killed), and not
// at all once the process is stopping (shell_stop_waiting).
int net_restart(void);
// {"mode":"dhcp","hostname":..} or {"mode":"static","hostname","ip","netmask",
// "gateway","dnsservers":[..]}; a new object, or null when it cannot be built
// (e.g. a host name that is not UTF-8).
json_t *transform_net_config(struct net_config *cfg);
