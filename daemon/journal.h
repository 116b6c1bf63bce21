// Where the daemon's lines and events go: stderr (the journal under
// systemd, which takes the level from a <N> prefix), and journald's native
// socket for events, which carry a MESSAGE_ID of their kind.
#pragma once

#include <string>

#include "spool/events.h"
#include "spool/ports.h"

namespace druvo {

// stderr is the journal's stream (JOURNAL_STREAM names it): decided once.
bool StderrIsJournal();
const char* JournalPrefix(LogLevel level);
void LogLine(LogLevel level, const std::string& line);

// journald's socket for native entries.
inline constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// Sends the event to journald, with its MESSAGE_ID, its level and
// DRUVO_FOLDER; nothing where no journald listens.
void SendEvent(const Event& event, const std::string& folder,
               const char* socketPath = kJournalSocket);

}  // namespace druvo
