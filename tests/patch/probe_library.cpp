// A tiny library for the tests to load, so that a file is in use as a
// loaded image the way a running game's libraries are.
extern "C" int ProbeLibraryValue() { return 42; }
