"""`python -m korvanta`: the command line."""

from korvanta.cli import console

console()
