// The whole life of hexalift: one unattended pass from start to shutdown
// request. Always returns 0.
#pragma once

int UpdateRun();
