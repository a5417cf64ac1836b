// The control interface's view of the journal and the log: switching the
// journal, reading it and clearing it (journal/journal.h), and where the SDK
// log is written and at which level (settings/log_settings.h).

#include "control/copy_out.h"
#include "control/lumora_control.h"
#include "journal/journal.h"
#include "settings/log_settings.h"

extern "C" {

LUMORA_API void lumora_journal_enable(int enabled) { lumora_sdk::journal_set_enabled(enabled != 0); }

LUMORA_API void lumora_journal_clear(void) { lumora_sdk::journal_clear(); }

LUMORA_API size_t lumora_journal_size(void) { return lumora_sdk::journal_size(); }

LUMORA_API size_t lumora_journal_dump(size_t first, char* buf, size_t buf_size) {
  return lumora_sdk::journal_dump(first, buf, buf_size);
}

LUMORA_API size_t lumora_log_file_path(char* buf, size_t buf_size) {
  return lumora_sdk::copy_out(lumora_sdk::log_file_path(), buf, buf_size);
}

LUMORA_API int lumora_log_level(void) { return lumora_sdk::log_level(); }

}  // extern "C"
