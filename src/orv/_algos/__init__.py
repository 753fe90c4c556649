"""Algorithm subpackages of orv."""
