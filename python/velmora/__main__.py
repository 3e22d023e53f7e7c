"""The main job: ``python -m velmora``."""
from velmora.demo import main

if __name__ == "__main__":
    raise SystemExit(main())
