// Firmware identity reported to the server, and the firmware update.
#pragma once

const char *firmware_name(void);
const char *firmware_version(void);

// Updates the firmware from the package (a .tar.gz holding update.sh) at url:
// downloads it to PATH_FIRMWARE_PACKAGE, unpacks it into a new folder under
// /tmp, runs its update.sh there (output in PATH_FIRMWARE_UPDATE_LOG) and
// removes the folder. 0 when every step succeeded, else -1 (logged). Blocks
// for the whole update; any thread once curl_global_init has run.
int firmware_update(const char *url);

// The steps of firmware_update, each 0 or -1 (logged).
// Writes what url serves to pkg_path (replaced); a failed download leaves
// what it got.
int download_update(const char *url, const char *pkg_path);
// Unpacks the package into update_dir (which exists), then deletes the
// package; a package that cannot be unpacked is left.
int extract_update(const char *pkg_path, const char *update_dir);
// Runs update_dir/update.sh in update_dir; a non-zero exit fails.
int apply_update(const char *update_dir);
// Deletes update_dir with everything in it.
int remove_update(const char *update_dir);
