#include "handlers.h"

#include "agent.h"
#include "log.h"
#include "miner/status.h"
#include "protocol.h"

// The server asked for a registration and has not yet acknowledged the upload.
static bool miner_registration = false;

bool agent_registration_pending(void)
{
    return miner_registration;
}

int agent_auth(json_t *root, json_t *ok, struct agent_vhd *vhd, struct agent_psd *psd)
{
    agent_conn_abort_cancel();

    if (ok != json_true()) {
        const char *message = "";
        json_unpack(root, "{s?s}", "message", &message);
        log_msg(LOG_LEVEL_WARN, "Authentication failed: \n%s", message);
        psd->auth = STATE_UNAUTHENTICATED;
        return -1;
    }

    log_msg(LOG_LEVEL_INFO, "Agent successfully authenticated");
    psd->auth = STATE_AUTHENTICATED;
    vhd->state->authenticated = true;
    // Let the writable step run on the now authenticated connection: it sends
    // what was queued before the login and restarts the back-off, even when
    // nothing else is queued after it.
    if (psd->wsi)
        lws_callback_on_writable(psd->wsi);

    // -u: the configuration goes up once, after the first login of the process.
    bool upload_requested = agent_take_upload_request();
    miner_registration = false;
    int registration = 0;
    if (json_unpack(root, "{s?b}", "registration", &registration) == 0)
        miner_registration = registration != 0;

    if (miner_registration) {
        status_disalbe_reporting();
        int res = upload_miner_config();
        if (res != 0) {
            // Nothing was uploaded, so no acknowledgement will end the registration.
            miner_registration = false;
            status_enable_reporting();
        }
        return res;
    }
    // A registration of an earlier connection may have been left unacknowledged.
    status_enable_reporting();
    status_report_now();
    if (upload_requested)
        upload_miner_config();
    return 0;
}

int agent_update_config(json_t *, json_t *ok)
{
    if (ok == json_true())
        log_msg(LOG_LEVEL_INFO, "Successfully update config on the server");
    else
        log_msg(LOG_LEVEL_INFO, "Update config failed");

    if (miner_registration) {
        status_enable_reporting();
        status_report_now();
        miner_registration = false;
    }
    return 0;
}
