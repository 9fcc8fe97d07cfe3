"""Stand-in for the host tool's package, enough for the loader's demo and tests."""
