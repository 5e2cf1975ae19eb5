// Status reporting: the reporting switch and the request for an immediate report.
#pragma once

// Asks for a status report now and wakes the reporting thread; any thread.
int status_report_now(void);
// Periodic status reporting off/on (a registration holds it back).
void status_disalbe_reporting(void);
void status_enable_reporting(void);

bool status_reporting_enabled(void);
// Whether a report has been asked for and not yet taken; clears the request
// when take is true.
bool status_report_pending(bool take);
