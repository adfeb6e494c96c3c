#!/bin/sh
# dotnet_stand_in.sh FILE ...: the signing test's stand-in for the bundle's pack command. It writes the
# environment it was given to FILE, then fails as a pack that made nothing.
env >"$1"
exit 1
