// `zqm web`: the fleet view (tools/zqm_fleet.h) as a page in the browser.
//
// Serves http://127.0.0.1:PORT/?token=TOKEN and nothing beyond loopback;
// TOKEN is random per start and printed on standard output with the
// address. "/" is the page, "/status.json" the fleet as `zqm status --all
// --json` writes it, wrapped as {"Now", "RefreshSeconds", "Hosts", and
// "Problem" when the configuration server cannot be asked}, each instance
// with a "Timeline": its last starts and ends (at most kTimelineLength),
// as the host's daemon keeps them ("Recent" of its "History"). The page asks for
// it every RefreshSeconds. The fleet is gathered in the background every
// refresh interval, each host within the host time limit. Runs until
// SIGINT or SIGTERM.
#pragma once

#include <chrono>
#include <string>

struct WebOptions {
  std::string host;      // whose configuration server names the fleet ("": this host)
  unsigned port = 8090;  // 0: any free port
  unsigned refreshSeconds = 5;
  std::chrono::milliseconds hostLimit{3000};
};

constexpr std::size_t kTimelineLength = 20;

// Serves until a signal ends it; returns the exit status (1 when the port
// cannot be had).
int RunWeb(const WebOptions& options);
