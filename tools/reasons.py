# The bed's pytest plugin (scripts/test): says why a test runs again, where -rR names the test only.
import pytest


@pytest.hookimpl(tryfirst=True)
def pytest_report_teststatus(report, config):
    if report.outcome == "rerun":
        config.get_terminal_writer().line(f"\nrerun {report.nodeid} ({report.when}): {report.longrepr.reprcrash.message}")
