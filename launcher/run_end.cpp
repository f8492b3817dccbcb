#include "launcher/run_end.hpp"

#include <cstdio>

#include <sysexits.h>

#include "launcher/run_lock.hpp"
#include "task/keyed_failure.hpp"

run_end end_of_scan(const scan_outcome& outcome, const scan_limits& limits) {
    const bool follow = limits.follow;
    run_end end;
    if (outcome.start_status != 0) {
        end.outcome = run_outcome::not_started;
        end.status = outcome.start_status;
        end.line = run_end::start_failure_line;
        end.start_error = outcome.start_error;
        end.error = true;
        end.cause = run_cause::start;
        return end;
    }
    end.cancel = outcome.cancel;
    end.exit_status = outcome.exit_status;
    end.killed_by = outcome.killed_by;
    end.outcome = outcome.timed_out         ? run_outcome::timed_out
                  : outcome.cancel != 0      ? run_outcome::cancelled
                  : outcome.killed_by != 0   ? run_outcome::killed
                                             : run_outcome::scanned;
    end.status = 0;
    if (outcome.timed_out) {
        end.status = 124;
        end.line = run_end::deadline_line;
        end.deadline = limits.timeout;
        end.error = true;
        return end;
    }
    if (follow && outcome.killed_by != 0) {
        end.end_signal = outcome.killed_by;
        end.status = 128 + outcome.killed_by;
    } else if (follow && outcome.ended) {
        end.status = outcome.exit_status;
    }
    return end;
}

run_end end_of_failure(const std::exception& failure, run_cause cause, int queued_cancel) {
    run_end end;
    if (queued_cancel != 0) {
        end.outcome = run_outcome::cancelled;
        end.queued = true;
        end.cancel = queued_cancel;
        end.end_signal = queued_cancel;
        end.status = 128 + queued_cancel;
        return end;
    }
    const bool busy = dynamic_cast<const turn_still_held*>(&failure) != nullptr;
    end.outcome = busy ? run_outcome::busy : run_outcome::failed;
    end.status = busy ? EX_TEMPFAIL : 255;
    end.line = run_end::failure_line;
    end.why = failure.what();
    end.error = true;
    end.cause = busy ? run_cause::lock : cause;
    if (const auto* keyed = dynamic_cast<const keyed_failure*>(&failure)) {
        end.key = keyed->failed_key();
        end.value = keyed->failed_value();
    }
    return end;
}

run_end end_of_dry_run(int start_error) {
    run_end end;
    end.outcome = start_error != 0 ? run_outcome::not_started : run_outcome::scanned;
    end.status = start_error != 0 ? 2 : 0;
    end.line = start_error != 0 ? run_end::start_failure_line : run_end::no_line;
    end.start_error = start_error;
    end.error = start_error != 0;
    return end;
}

void deadline_text(int seconds, char* text, std::size_t size) noexcept {
    (void)std::snprintf(text, size, "the scan ran past its deadline of %d s", seconds);
}
