"""The Linux TPM platform's suite: runs as root beside the fixture of scripts/tpm_fixture.sh
and runs what it tests as the test user, in a terminal of its own (tpm_terminal)."""

import pytest

from tpm_terminal import UserTerminal, read_fixture, user_store


@pytest.fixture(scope="session")
def tpm_fixture():
    return read_fixture()


@pytest.fixture
def store(tpm_fixture):
    with user_store(tpm_fixture) as directory:
        yield directory


@pytest.fixture
def user_terminal(tpm_fixture):
    """Makes UserTerminals (argv, or .python(snippet)) that are closed after the test."""
    made = []

    class Factory:
        def __call__(self, argv, **kwargs):
            made.append(UserTerminal(tpm_fixture, argv, **kwargs))
            return made[-1]

        def python(self, snippet, **kwargs):
            made.append(UserTerminal.python(tpm_fixture, snippet, **kwargs))
            return made[-1]

    yield Factory()
    for terminal in made:
        terminal.close()
