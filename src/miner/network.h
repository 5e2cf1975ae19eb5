// Live state of a network interface.
#pragma once

#include <cstdio>
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
