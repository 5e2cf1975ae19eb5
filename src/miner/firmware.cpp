#include "miner/firmware.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <string>
#include <unistd.h>

#include "log.h"
#include "owners.h"
#include "paths.h"
#include "shell.h"

// A dead server must not hold an update forever: the connection gets this
// long to open, and a transfer slower than 1 byte/s for a minute ends.
#define DOWNLOAD_CONNECT_TIMEOUT_S 30L
#define DOWNLOAD_LOW_SPEED_LIMIT 1L
#define DOWNLOAD_LOW_SPEED_TIME_S 60L

const char *firmware_name(void)
{
    return "pelto-antminer-l3plus";
}

const char *firmware_version(void)
{
    return "3.9.0";
}

int download_update(const char *url, const char *pkg_path)
{
    assert(url && pkg_path);
    file_ptr file(fopen(pkg_path, "wb"));
    if (!file) {
        LOG_ERROR("Failed to create firmware update package: %s", pkg_path);
        return -1;
    }
    curl_ptr curl(curl_easy_init());
    if (!curl) {
        LOG_ERROR("Failed to obtain curl handle!");
        return -1;
    }
    CURL *c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, file.get());
    curl_easy_setopt(c, CURLOPT_CAINFO, PATH_CA_FILE);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, DOWNLOAD_CONNECT_TIMEOUT_S);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, DOWNLOAD_LOW_SPEED_LIMIT);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, DOWNLOAD_LOW_SPEED_TIME_S);
    // Name lookups must not time out through signals: other threads run.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    log_msg(LOG_LEVEL_INFO, "Downloading firmware update");
    CURLcode res = curl_easy_perform(c);
    if (res != CURLE_OK)
        LOG_ERROR("Failed to download firmware update, code: %d", res);
    curl.reset();
    // The last buffered part is only written here.
    if (fclose(file.release()) != 0 && res == CURLE_OK) {
        LOG_ERROR("Failed to write firmware update package: %s", pkg_path);
        return -1;
    }
    return res == CURLE_OK ? 0 : -1;
}

int extract_update(const char *pkg_path, const char *update_dir)
{
    assert(pkg_path && update_dir);
    log_msg(LOG_LEVEL_INFO, "Extracting update package");
    std::string cmd =
        std::string("tar -xzf ") + pkg_path + " -C " + update_dir + " && rm -f " + pkg_path;
    int res = shell_run(cmd.c_str());
    if (res != 0) {
        LOG_ERROR("Failed to extract firmware update, code: %d", res);
        LOG_ERROR("Command: %s", cmd.c_str());
        return -1;
    }
    return 0;
}

int apply_update(const char *update_dir)
{
    assert(update_dir);
    log_msg(LOG_LEVEL_INFO, "Applying firmware update");
    std::string cmd =
        std::string("cd ") + update_dir + " && ./update.sh > " PATH_FIRMWARE_UPDATE_LOG;
    if (shell_run(cmd.c_str()) != 0) {
        LOG_ERROR("Failed to apply firmware update, check " PATH_FIRMWARE_UPDATE_LOG
                  " for details");
        return -1;
    }
    return 0;
}

int remove_update(const char *update_dir)
{
    assert(update_dir);
    std::string cmd = std::string("rm -rf ") + update_dir;
    int res = shell_run(cmd.c_str());
    if (res != 0) {
        LOG_ERROR("Failed to remove update folder, code: %d", res);
        return -1;
    }
    return 0;
}

int firmware_update(const char *url)
{
    assert(url);
    if (download_update(url, PATH_FIRMWARE_PACKAGE) != 0)
        return -1;
    char dir[] = PATH_FIRMWARE_UPDATE_DIR;
    if (!mkdtemp(dir)) {
        LOG_ERROR("Failed to create firmware update folder: %s", strerror(errno));
        unlink(PATH_FIRMWARE_PACKAGE);
        return -1;
    }
    int res = extract_update(PATH_FIRMWARE_PACKAGE, dir) == 0 && apply_update(dir) == 0 ? 0 : -1;
    if (remove_update(dir) != 0)
        res = -1;
    return res;
}
