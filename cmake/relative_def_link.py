#!/usr/bin/python3
"""Link launcher of the release form with lld: runs the link command given
as arguments, with every module-definition file named by an absolute path
replaced by a copy in the build folder named relative to it (the link runs
there). lld records its whole command line in the PDB, and CMake names a
.def file by its absolute source path, which differs between checkouts."""
import os
import shutil
import sys


def main(argv):
    args = []
    for arg in argv:
        if arg.endswith(".def") and os.path.isabs(arg) and os.path.isfile(arg):
            copy = os.path.join("def", os.path.basename(arg))
            os.makedirs("def", exist_ok=True)
            shutil.copyfile(arg, copy)
            arg = copy
        args.append(arg)
    os.execvp(args[0], args)


if __name__ == "__main__":
    main(sys.argv[1:])
