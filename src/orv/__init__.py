"""orv: geospatial analysis tools."""
