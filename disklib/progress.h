// The disk library's one door for progress. An operation that takes long reports a percentage
// 0..100 of the current progress step to the sink that the program installs at start-up; the
// disk library does not know who shows it.
#pragma once

// Receives one percentage, on the thread of the operation that reports it. It must not wait
// for that operation.
typedef void (*DiskProgressSink)(int percent);

// Installs the sink; null drops every report. The program installs it once, before any disk
// operation runs.
void DISKLIB_SetProgressSink(DiskProgressSink sink);

// Hands percent to the installed sink; does nothing when none is installed.
void DISKLIB_ReportProgress(int percent);
