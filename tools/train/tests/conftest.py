import sys
from pathlib import Path

# The tool is run from its own directory, not installed.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
