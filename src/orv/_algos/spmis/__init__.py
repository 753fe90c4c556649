"""Spatial interpolation: kriging and its support code."""
