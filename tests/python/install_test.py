"""`pip install` from the repository works offline and installs every module."""

import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "sdk" / "python"


class InstallTest(unittest.TestCase):
    def test_pip_installs_the_package_and_its_examples_without_an_index(self):
        with tempfile.TemporaryDirectory() as target:
            subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-index", "--no-compile",
                            "--target", target, str(SOURCE)], check=True, capture_output=True)
            installed = sorted(str(path.relative_to(target))
                               for path in pathlib.Path(target, "brindle_server").rglob("*.py"))
            expected = sorted(str(path.relative_to(SOURCE)) for path in (SOURCE / "brindle_server").rglob("*.py"))
            self.assertEqual(installed, expected)
            environment = dict(os.environ, PYTHONPATH=target)
            run = subprocess.run([sys.executable, "-m", "brindle_server.examples.memory", "--help"], cwd=target,
                                 env=environment, capture_output=True, text=True)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertIn("--session-file", run.stdout)


if __name__ == "__main__":
    unittest.main()
