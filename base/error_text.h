// Texts for error and signal numbers that are safe from any thread (strerror
// and strsignal may hand out a shared buffer) and from a signal handler.
#pragma once

// The system's description of errno value `err` ("Unknown error" if none).
const char* errorText(int err);

// The system's description of signal `sig` ("Unknown signal" if none).
const char* signalText(int sig);
