"""Each run's venv holds exactly the pins of its stack's constraints file on
its interpreter (scripts/stack.sh): what the suite runs on is what the file
says, and the file names nothing the venv lacks."""
import re
import subprocess
import sys

import pytest


def normalised(requirement):
    name, _, version = requirement.partition("==")
    return re.sub(r"[-_.]+", "-", name).lower() + "==" + version


@pytest.mark.normal_build
def test_the_venv_holds_exactly_its_pins(constraints):
    with open(constraints) as f:
        pins = {normalised(line.split("#")[0].strip()) for line in f
                if line.split("#")[0].strip()}
    freeze = subprocess.run([sys.executable, "-m", "pip", "freeze", "--exclude", "orveksdk"],
                            capture_output=True, text=True, check=True).stdout
    installed = {normalised(line) for line in freeze.splitlines() if line}
    assert installed == pins, (sorted(installed - pins), sorted(pins - installed))
