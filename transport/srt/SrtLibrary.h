#pragma once

// Starts libsrt once for the whole process, from any thread, any number of
// times; the library is cleaned up when the process exits. Everything that
// opens an SRT socket calls this first.
void startSrtLibrary();
