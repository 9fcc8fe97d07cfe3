"""Stand-in for the host tool's configuration module.

Only ``settings.OUTPUT_BASE_DIR`` is provided: the directory under which the
loader keeps its log (``tolvek_init_log/tolvek-init-main.log``).  It comes
from the environment variable ``TOLVEK_OUTPUT_BASE_DIR``; when that is unset
or empty, a per-user directory is used: ``$XDG_STATE_HOME/tolvek``, or
``~/.local/state/tolvek``.
"""

import os


def _default_output_base_dir() -> str:
    state_home = os.environ.get("XDG_STATE_HOME") or os.path.join(
        os.path.expanduser("~"), ".local", "state"
    )
    return os.path.join(state_home, "tolvek")


class Settings:
    OUTPUT_BASE_DIR = os.environ.get("TOLVEK_OUTPUT_BASE_DIR") or _default_output_base_dir()


settings = Settings()
