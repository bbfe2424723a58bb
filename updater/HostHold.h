#pragma once
// A run's claim on one module for every run on this host, whatever store
// each uses: the module an update installs on, and the router it reaches
// that module through. A router carries one host connection at a time (a
// new one replaces the old), so two runs through one router must take
// turns, and a listing must not open a connection to a module whose
// update is under way.
//
// The claim is an abstract Unix socket named "jorvanite-update/<serial as
// %08X>", bound and listening while it is kept. The kernel gives a name to
// one socket at a time and frees it when its holder exits, however it
// exits: a kept claim cannot be taken by anyone else, and none outlives
// its run. Any local user may bind a free name, though, so a claim another
// user made first is honoured only for a bounded wait, with its holder
// named (process and user) for as long as it delays the run. Abstract
// names live in a network namespace: runs in two namespaces do not see
// each other's claims.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

// Who keeps a claim.
struct HostHolder {
  pid_t pid = 0;  // 0 when it cannot be told (another process namespace, or a holder that takes no questions)
  uid_t uid = 0;
  bool uidKnown = false;
};

// "process 1234 (user alice)", or "another process" when nothing is known.
std::string HostHolderText(const HostHolder& holder);

class HostHold {
 public:
  // How long a run waits for a claim another process keeps: long enough for
  // that process's update to end.
  static constexpr uint32_t kWaitMS = 10 * 60 * 1000;

  // Keeps nothing.
  HostHold() = default;
  HostHold(HostHold&& other) noexcept;
  HostHold& operator=(HostHold&& other) noexcept;
  HostHold(const HostHold&) = delete;
  HostHold& operator=(const HostHold&) = delete;
  ~HostHold();

  // Claims `serialNumber`, waiting up to waitMS while another process keeps
  // it; `waiting`, when given, is called once, as the wait begins, with who
  // keeps it. Afterwards exactly one of: Held() (the claim is this
  // object's until it goes), Ours() (this process keeps it already, through
  // another object), WaitedOut() (Holder() still keeps it), or Problem()
  // says why no claim can be made at all.
  static HostHold Take(uint32_t serialNumber, uint32_t waitMS,
                       const std::function<void(const HostHolder&)>& waiting = {});

  // Whether a process other than this one keeps a claim on serialNumber,
  // and who; asks without waiting and without taking it.
  static bool KeptBy(uint32_t serialNumber, HostHolder* holder);

  bool Held() const { return m_fd >= 0; }
  bool Ours() const { return m_ours; }
  bool WaitedOut() const { return m_waitedOut; }
  const HostHolder& Holder() const { return m_holder; }
  const std::string& Problem() const { return m_problem; }

 private:
  void release();

  int m_fd = -1;
  bool m_ours = false;
  bool m_waitedOut = false;
  HostHolder m_holder;
  std::string m_problem;
};

// Puts this process's claims under a scope of their own, a name part before
// the serial number ("" is the host's, the default). Claims under one scope
// never meet claims under another: the test suite runs its simulated modules,
// which all answer to a few serial numbers, side by side, each test under a
// scope of its own.
void HostHold_SetScope(const std::string& scope);

class UpdaterDisplayInterface;

// Takes the claim on a module for a run (`what` names it in messages:
// "Module", "Router"), waiting up to HostHold::kWaitMS while another
// process keeps it, and saying once that it waits and for whom. A wait that
// runs out, or a claim that cannot be made, lets the run go on without it.
HostHold TakeHostHold(UpdaterDisplayInterface& display, const char* what, uint32_t serialNumber);
