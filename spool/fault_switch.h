// Faults this engine once had, each behind a switch that only the
// simulator's build of the engine can turn on (-DDRUVO_SIM_FAULTS=ON): the
// simulator must find every one of them. Everywhere else FaultOn is a
// constant false and the old code paths compile away.
#pragma once

namespace druvo {

enum class Fault {
  None,
  DeleteByName,          // a printed file deleted by its name: a newer file that took it goes
  NoRecordBeforeSend,    // a job is sent before it is kept in the state file
  IgnoreKeptAnswer,      // a printer's answer kept for the next connection is not believed
  TrustReusedJobId,      // a job number the server handed out again is taken for ours
  DamagedLineDropsAll,   // one damaged state line makes the whole file count as damaged
  ConfirmOnTaken,        // a confirming printer's receipt counts as printed once taken
};

#ifdef DRUVO_SIM_FAULTS
bool FaultOn(Fault fault);
#else
constexpr bool FaultOn(Fault) { return false; }
#endif

}  // namespace druvo
