# The bed's pytest plugin (scripts/test). Every pytest process that runs tests (each xdist worker, or
# pytest alone) brings up a bed of its own before the tests' conftest reads it, so that tests side by
# side share no prefix, wineserver or service; and a test that runs again says why, where -rR names
# the test only.
import os
import pathlib
import subprocess
import pytest
from xdist.scheduler import LoadScheduling

BED = pathlib.Path(__file__).resolve().parent / "bed"


@pytest.hookimpl(tryfirst=True)
def pytest_load_initial_conftests(early_config):
    controller = getattr(early_config.known_args_namespace, "numprocesses", None)
    if controller and "PYTEST_XDIST_WORKER" not in os.environ:
        return  # xdist's controller runs no test
    bed = subprocess.run([BED, "up"], check=True, capture_output=True, text=True).stdout
    os.environ.update(line.split("=", 1) for line in bed.splitlines())
    early_config.add_cleanup(lambda: subprocess.run([BED, "down", os.environ["QUORLIN_BED"]], capture_output=True))


@pytest.hookimpl(tryfirst=True)
def pytest_report_teststatus(report, config):
    if report.outcome == "rerun":
        crash = getattr(report.longrepr, "reprcrash", None)  # a plain text failure has none
        why = crash.message if crash else report.longrepr
        config.get_terminal_writer().line(f"\nrerun {report.nodeid} ({report.when}): {why}")


# The stories that build or wait longest go first, so that no worker is left with a long one at the end
# while the others have finished.
LONGEST_FIRST = ("two_builds", "signed_release", "any_step", "a_life_from_start", "held_service_handle", "any_of_its", "test_a_package", "flood",
                 "upgrade_keeps", "install_and_remove", "first_installation", "javaw_on_the_path", "second_root",
                 "nothing_planted", "retried", "viewer")


def pytest_collection_modifyitems(items):
    def rank(item):
        return next((i for i, name in enumerate(LONGEST_FIRST) if name in item.nodeid), len(LONGEST_FIRST))
    items.sort(key=rank)


class OneAhead(LoadScheduling):
    """Each worker holds the story it runs and the one after it (a worker starts a story only once it knows
    the next); every other story waits for the first worker that is free, in the order above. xdist's own
    schedule hands each worker a run of consecutive stories at once, so that one worker took every long
    story in a row while the others ended early."""
    def schedule(self):
        if self.collection is None:
            if not self._check_nodes_have_same_collection():
                self.log("**Different tests collected, aborting run**")
                return
            self.collection = list(self.node2collection.values())[0]
            self.pending[:] = range(len(self.collection))
        for node in self.nodes * 2:
            self.check_schedule(node)

    def check_schedule(self, node, duration=0):
        if node.shutting_down:
            return
        if len(self.node2pending[node]) < 2:
            self._send_tests(node, 1)
        if not self.pending:
            node.shutdown()


@pytest.hookimpl(tryfirst=True, optionalhook=True)
def pytest_xdist_make_scheduler(config, log):
    return OneAhead(config, log)
