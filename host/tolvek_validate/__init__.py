"""Stand-in for the host tool's validation package."""
