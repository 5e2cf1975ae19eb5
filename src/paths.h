// Every fixed path and command text of the device, in one place.
#pragma once

#define PATH_AGENT_CONFIG "/config/korvane.json"
#define PATH_LOG_CONF "/opt/korvane/etc/log.conf"
#define PATH_CA_FILE "/opt/korvane/certs/letsencrypt.pem"

#define PATH_PROC_NET_ROUTE "/proc/net/route"
#define PATH_RESOLV_CONF "/etc/resolv.conf"
#define PATH_URANDOM "/dev/urandom"

#define NET_IFACE "eth0"

// The miner program and its files.
#define MINER_API_HOST "127.0.0.1"
#define MINER_API_PORT 4028
#define PATH_MINER_CONFIG "/config/cgminer.conf"
#define PATH_CHIP_HR "/www/pages/cgi-bin/chip_hr.json"
#define PATH_STOP_TRIGGER "/tmp/stoptrigger"

// Commands run on the device.
#define CMD_CGMINER_RUNNING "pidof -s cgminer"
#define CMD_CGMINER_START "/etc/init.d/cgminer.sh start"
#define CMD_CGMINER_STOP "/etc/init.d/cgminer.sh stop"
#define CMD_CGMINER_RESTART "/etc/init.d/cgminer.sh restart"
#define CMD_MINING_STOP "/www/pages/cgi-bin/stop_cgminer.cgi"
#define CMD_STOP_TRIGGER_REMOVE "rm " PATH_STOP_TRIGGER
#define CMD_STOP_TRIGGER_WRITE "echo \"1\" > " PATH_STOP_TRIGGER

// Configuration files of the device.
#define PATH_CONFIG_DIR "/config"
#define PATH_NETWORK_CONFIG "/config/network.conf"
#define MINER_CONFIG_FILE_NAME "cgminer.conf"
#define NETWORK_CONFIG_FILE_NAME "network.conf"
#define CMD_SYNC "sync"
#define CMD_NETWORK_RESTART "/etc/init.d/network.sh restart"
#define CMD_KERNEL_LOG "sh /www/pages/cgi-bin/get_kernel_log.cgi"
#define CMD_REBOOT "reboot"

// The web interface's digest password file (user "root").
#define PATH_HTDIGEST "/config/lighttpd-htdigest.user"

// Firmware updates: the downloaded package, the folder it is unpacked
// into (a mkdtemp template) and the output of its update script.
#define PATH_FIRMWARE_PACKAGE "/tmp/firmware_update.tar.gz"
#define PATH_FIRMWARE_UPDATE_DIR "/tmp/firmware_update.XXXXXX"
#define PATH_FIRMWARE_UPDATE_LOG "/var/log/firmware_update.log"
