// pivaro-phone: joins a PC from its pairing address as a phone does, greets
// it, sends the commands given as arguments or read line by line from
// standard input, and prints every message from the PC as one JSON object
// per line.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/phone/pairing_address.h"
#include "tools/phone/phone_command.h"
#include "tools/phone/phone_link.h"

namespace {

const char kUsage[] =
    "usage: pivaro-phone \"<pairing address>\" [--relay|--direct] [--udp] [--note]\n"
    "                    [--broker URI] [--host IPv4] [--port N] [--id PHONE_ID] [--cuid CUID]\n"
    "                    [--qos 0|1|2] [--wait MS] [--keep] [command ...]\n"
    "Commands: next prev first last start stop erase state hello bye, laser_down X Y,\n"
    "laser_move X Y, laser_up, pen_down X Y, pen_move X Y, pen_up, sleep MS, or a JSON object.\n"
    "Without commands, lines are read from standard input. The relay broker comes from\n"
    "--broker or PIVARO_RELAY_URI (e.g. tcp://127.0.0.1:1883).\n";

int Fail(const std::string& why) {
  std::cerr << "pivaro-phone: " << why << "\n";
  return 2;
}

bool ReadNumber(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= low && value <= high;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::cerr << kUsage;
    return argc < 2 ? 2 : 0;
  }
  std::string error;
  phone::PairingAddress address;
  if (!phone::ParsePairingAddress(argv[1], address, &error)) return Fail(error);

  phone::PhoneOptions options;
  options.transport = address.HasRelay() ? phone::Transport::Relay : phone::Transport::DirectTcp;
  if (const char* uri = std::getenv("PIVARO_RELAY_URI")) options.brokerUri = uri;
  bool udp = false;
  bool keep = false;
  long waitMs = 1000;
  std::vector<std::string> commands;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    long number = 0;
    if (arg == "--relay") {
      options.transport = phone::Transport::Relay;
    } else if (arg == "--direct") {
      options.transport = phone::Transport::DirectTcp;
    } else if (arg == "--udp") {
      udp = true;
    } else if (arg == "--note") {
      options.notes = true;
    } else if (arg == "--keep") {
      keep = true;
    } else if (arg == "--broker" && hasValue) {
      options.brokerUri = argv[++i];
    } else if (arg == "--host" && hasValue) {
      options.directHost = argv[++i];
    } else if (arg == "--id" && hasValue) {
      options.phoneId = argv[++i];
    } else if (arg == "--cuid" && hasValue) {
      options.cuid = argv[++i];
    } else if (arg == "--port" && hasValue) {
      if (!ReadNumber(argv[++i], 1, 65535, number)) return Fail("--port takes 1 to 65535");
      options.directPort = static_cast<std::uint16_t>(number);
    } else if (arg == "--qos" && hasValue) {
      if (!ReadNumber(argv[++i], 0, 2, number)) return Fail("--qos takes 0, 1 or 2");
      options.qos = static_cast<int>(number);
    } else if (arg == "--wait" && hasValue) {
      if (!ReadNumber(argv[++i], 0, 600000, waitMs)) return Fail("--wait takes 0 to 600000 ms");
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      return Fail("unknown option " + arg + "\n" + kUsage);
    } else {
      commands.push_back(arg);
    }
  }
  if (udp) options.transport = phone::Transport::DirectUdp;

  // Check every command before joining, so a typo costs no connection.
  for (const auto& c : commands) {
    auto parsed = phone::ParseCommand(c, options.notes);
    if (parsed.kind == phone::CommandKind::Invalid) return Fail(parsed.error);
  }

  auto link = phone::MakePhoneLink(address, options, &error);
  if (!link) return Fail(error);

  // The PC ends the conversation with "bye" (its disconnect button), "quit"
  // (it is closing) or, on the relay, its will "lost".
  std::atomic<bool> ended{false};
  std::mutex outputMutex;
  link->SetObserver([&](const phone::PhoneMessage& m) {
    {
      std::lock_guard<std::mutex> lock(outputMutex);
      std::cout << m.text << std::endl;
    }
    if (m.msg == "bye" || m.msg == "quit" || m.msg == "lost") ended = true;
  });
  if (!link->Connect()) return Fail(link->LastError());
  if (!link->Greet()) std::cerr << "pivaro-phone: no answer to the greeting yet\n";

  auto over = [&] { return ended.load() || !link->IsOpen(); };
  auto run = [&](const std::string& line) {
    auto cmd = phone::ParseCommand(line, options.notes);
    switch (cmd.kind) {
      case phone::CommandKind::Message:
        if (!link->Send(cmd.json)) std::cerr << "pivaro-phone: not sent: " << line << "\n";
        break;
      case phone::CommandKind::Sleep:
        std::this_thread::sleep_for(std::chrono::milliseconds(cmd.sleepMs));
        break;
      case phone::CommandKind::Invalid:
        std::cerr << "pivaro-phone: " << cmd.error << "\n";
        break;
      case phone::CommandKind::Empty:
        break;
    }
  };

  if (!commands.empty()) {
    for (const auto& c : commands) {
      if (over()) break;
      run(c);
    }
  } else {
    std::string pending;
    bool eof = false;
    while (!eof && !over()) {
      pollfd in{STDIN_FILENO, POLLIN, 0};
      int ready = ::poll(&in, 1, 200);
      if (ready < 0) break;
      if (ready == 0) continue;
      char chunk[4096];
      ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
      if (n <= 0) {
        eof = true;
      } else {
        pending.append(chunk, static_cast<std::size_t>(n));
      }
      std::size_t newline;
      while ((newline = pending.find('\n')) != std::string::npos) {
        run(pending.substr(0, newline));
        pending.erase(0, newline + 1);
      }
      if (eof && !pending.empty()) run(pending);
    }
  }

  // Give the PC time to answer the last commands.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (!over() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!over() && !keep) link->Send(R"({"msg":"bye"})");
  link->Close();
  return 0;
}
