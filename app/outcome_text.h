// How an update's outcome is put in words: the status line's one line, and the details the
// dialog shows in its box (without the question that may follow) and the fleet report gives as
// the reason.
#pragma once

#include "app/update_outcome.h"

#include <stddef.h>

void FormatOutcomeStatus(const UpdateOutcome* outcome, WCHAR* text, size_t capacity);
void FormatOutcomeDetails(const UpdateOutcome* outcome, WCHAR* text, size_t capacity);
