"""polkit's verification of the test user at a terminal of their own, against the real
polkitd and fprintd: pkcheck through a text agent (the harness's own proof), and
bio_polkit_check, which calls verify_user as the platform will."""

import os
import time

import pytest

from conftest import user_processes

CHECK = os.path.join(os.environ.get("BIOMETRIC_TPM_TEST_MODULES", ""), "bio_polkit_check")
FINGER_PROMPT = r"finger"

# The snippet registers pkttyagent for itself, waits until it serves, then asks pkcheck.
PKCHECK = """
import os, subprocess, sys
r, w = os.pipe()
agent = subprocess.Popen(["pkttyagent", "--process", str(os.getpid()), "--notify-fd", str(w)], pass_fds=[w])
os.close(w)
os.read(r, 1)
code = subprocess.call(["pkcheck", "--action-id", os.environ["TPM_FIXTURE_ACTION"], "--process",
                        str(os.getpid()), "--allow-user-interaction"])
agent.terminate()
agent.wait()
print("pkcheck exit", code)
"""


@pytest.mark.parametrize("right_password, exit_code", [(True, 0), (False, 1)])
def test_pkcheck_answered_through_a_text_agent(user_terminal, tpm_fixture, right_password, exit_code):
    terminal = user_terminal.python(PKCHECK)
    terminal.expect(FINGER_PROMPT)
    terminal.scan("finger-B")
    terminal.answer_password(tpm_fixture.password if right_password else "not-" + tpm_fixture.password)
    assert terminal.finish() == 0
    assert f"pkcheck exit {exit_code}" in terminal.output


def _password(terminal, fixture, right=True):
    terminal.expect(FINGER_PROMPT)
    terminal.scan("finger-B")
    terminal.answer_password(fixture.password if right else "wrong-" + fixture.password)


def _finger(terminal, fixture):
    terminal.expect(FINGER_PROMPT)
    terminal.scan("finger-A")


def _ctrl_c(terminal, fixture):
    terminal.expect(FINGER_PROMPT)
    terminal.scan("finger-B")
    terminal.expect("Password:")
    terminal.ctrl_c()


def _wait_for_deadline(terminal, fixture):
    terminal.expect(FINGER_PROMPT)


@pytest.mark.parametrize("steps, deadline_ms, result, exit_code", [
    (_password, None, "Verified", 0),
    (_finger, None, "Verified", 0),
    (lambda t, f: _password(t, f, right=False), None, "Refused", 1),
    (_ctrl_c, None, "Interrupted", 1),
    (_wait_for_deadline, 2500, "TimedOut", 1),
], ids=["password", "finger", "wrong-password", "ctrl-c", "deadline"])
def test_verify_user_starts_the_text_agent_on_the_terminal(user_terminal, tpm_fixture, steps, deadline_ms,
                                                           result, exit_code):
    argv = [CHECK, "verify", tpm_fixture.action] + ([str(deadline_ms)] if deadline_ms else [])
    terminal = user_terminal(argv)
    steps(terminal, tpm_fixture)
    assert terminal.finish() == exit_code, terminal.output
    assert f"verify: {result}" in terminal.output
    assert user_processes(tpm_fixture, "pkttyagent") == [], "the agent outlived the call"


def test_verify_user_without_a_terminal_finds_no_agent(user_terminal, tpm_fixture):
    terminal = user_terminal([CHECK, "verify", tpm_fixture.action], controlling=False)
    assert terminal.finish() == 1
    assert "verify: NoAgent" in terminal.output


def test_an_agent_that_serves_the_process_already_is_the_one_that_asks(user_terminal, tpm_fixture):
    # pkttyagent registered for this process, which then becomes bio_polkit_check (same pid).
    terminal = user_terminal.python(f"""
import os, subprocess
r, w = os.pipe()
subprocess.Popen(["pkttyagent", "--process", str(os.getpid()), "--notify-fd", str(w)], pass_fds=[w])
os.close(w)
os.read(r, 1)
os.execv({CHECK!r}, [{CHECK!r}, "verify", {tpm_fixture.action!r}])
""")
    terminal.expect(FINGER_PROMPT)
    assert len(user_processes(tpm_fixture, "pkttyagent")) == 1
    terminal.scan("finger-A")
    terminal.expect("verify: Verified")
