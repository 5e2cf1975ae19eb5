// Every fixed path and command text of the device, in one place.
#pragma once

#define PATH_AGENT_CONFIG "/config/korvane.json"
#define PATH_LOG_CONF "/opt/korvane/etc/log.conf"
#define PATH_CA_FILE "/opt/korvane/certs/letsencrypt.pem"

#define PATH_PROC_NET_ROUTE "/proc/net/route"
#define PATH_RESOLV_CONF "/etc/resolv.conf"

#define NET_IFACE "eth0"
