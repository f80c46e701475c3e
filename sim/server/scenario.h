// Scenario of feldaro-sim: the simulated devices of one LAN, read from a JSON file, the
// timeline of scripted changes, and the console commands that change it while it runs.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/simdevice.h"

struct SimNode {
  std::string name;  // DevName of the identifier
  std::unique_ptr<SimDevice> dev;
  // Extra delay of this device's answers to broadcasts: a slow device whose discovery
  // answer misses the search and is picked up later.
  int discoveryDelayMs = 0;
  // Time the device takes to process one request before it answers. Requests are processed
  // one after the other, as an embedded controller does: one arriving while the device is
  // busy waits for the one before it. 0: answers leave at once.
  int processingMs = 0;
  int64_t busyUntilMs = 0;  // when the request being processed is done
};

// One scripted change, carried out when the simulator has run for `at` seconds.
struct TimelineEvent {
  double at = 0;
  std::string command;  // a console command line, see RunCommand
};

struct Scenario {
  std::vector<SimNode> nodes;
  std::vector<TimelineEvent> timeline;  // ascending `at`
};

// Parses a scenario; throws std::runtime_error naming the offending entry.
Scenario ParseScenario(const std::string& jsonText);
Scenario LoadScenario(const std::string& path);

// Device reference: its index in the scenario, or its name (K27_00005); -1 when unknown.
int FindNode(const Scenario& sc, const std::string& ref);

// Default I/O counts of a bus device of the given type (for `add` without counts).
void DefaultIo(uint32_t type, uint8_t& outputs, uint8_t& inputs, uint8_t& readers);

struct CommandResult {
  bool ok = true;
  bool quit = false;
  std::string text;  // reply for the console (without trailing line feed)
};

// Runs one console command (also used for the timeline):
//   list | mode DEV N | inactive DEV SLOT on|off | add DEV TYPE SERIAL [OUT IN RD]
//   session DEV foreign|none | appear DEV | hide DEV | help | quit
CommandResult RunCommand(Scenario& sc, const std::string& line, int64_t nowMs);

// Mode names as the tool shows them.
const char* ModeName(int mode);
