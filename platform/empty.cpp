// Gives a library that has no sources of its own yet something to build.
