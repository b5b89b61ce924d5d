"""Offline training of kelvra's built-in initial-guess networks.

The module never imports this package: it only reads the .eisnn files that
the package writes into weights/.
"""
