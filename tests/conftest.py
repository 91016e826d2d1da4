import sys
from pathlib import Path

# The vectorised NumPy peers in bench/ are checked against the modules here too.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
