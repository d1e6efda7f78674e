"""End-to-end tests of the sandbox gateway (a package, so its conftest stands apart)."""
