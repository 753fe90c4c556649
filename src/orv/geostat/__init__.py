"""Geostatistics: experimental variograms and fitted variogram models."""
