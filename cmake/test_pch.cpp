// The test programs' precompiled header is built with this file.
