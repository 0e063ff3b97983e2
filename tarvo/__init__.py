"""Z-scan fitting toolkit around the tarvo_wrapper extension module."""
