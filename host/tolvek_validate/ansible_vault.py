#!/usr/bin/env python3
"""Stand-in for the host tool's vault password source.

``ansible-vault`` runs this file as an executable password script (the loader
passes its path in ``--vault-id [label@]PATH``) and takes the password from
its standard output.  The password comes from the environment:

``TOLVEK_VAULT_PASSWORD``
    the password itself;
``TOLVEK_VAULT_PASSWORD_FILE``
    the path of a file holding it (used when the first is unset).

With neither set it writes a message to standard error and exits with status
1.  Any arguments (``--vault-id LABEL``, given to client scripts) are ignored.
Importing the module runs nothing.
"""

import os
import sys


def main() -> int:
    password = os.environ.get("TOLVEK_VAULT_PASSWORD")
    if password is None:
        password_file = os.environ.get("TOLVEK_VAULT_PASSWORD_FILE")
        if password_file is None:
            print(
                "tolvek vault password: set TOLVEK_VAULT_PASSWORD or "
                "TOLVEK_VAULT_PASSWORD_FILE",
                file=sys.stderr,
            )
            return 1
        try:
            with open(password_file, encoding="utf-8") as file:
                password = file.read()
        except OSError as error:
            print(
                f"tolvek vault password: cannot read TOLVEK_VAULT_PASSWORD_FILE: {error}",
                file=sys.stderr,
            )
            return 1
    sys.stdout.write(password.rstrip("\r\n") + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
