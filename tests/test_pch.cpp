// Only the test programs' shared precompiled header is built from this.
