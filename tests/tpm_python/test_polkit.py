"""polkit's verification of the test user at a terminal of their own, against the real
polkitd and fprintd: pkcheck through a text agent (the harness's own proof), and
bio_polkit_check, which calls verify_user as the platform will."""

import os

import pytest

from conftest import user_processes

CHECK = os.path.join(os.environ.get("BIOMETRIC_TPM_TEST_MODULES", ""), "bio_polkit_check")
# One match per prompt: the text names the finger and the reader.
FINGER_PROMPT = r"Swipe your [a-z ]+ finger across the fingerprint reader"

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


@pytest.mark.parametrize("where", ["no-terminal", "background"])
def test_verify_user_that_cannot_ask_at_a_terminal_finds_no_agent(user_terminal, tpm_fixture, where):
    if where == "no-terminal":
        terminal = user_terminal([CHECK, "verify", tpm_fixture.action], controlling=False)
    else:  # a process group of its own: not the terminal's foreground
        terminal = user_terminal.python(f"""
import os, subprocess, sys
sys.exit(subprocess.call([{CHECK!r}, "verify", {tpm_fixture.action!r}], process_group=0))
""")
    assert terminal.finish() == 1
    assert "verify: NoAgent" in terminal.output


def test_an_agent_that_serves_the_process_already_is_the_one_that_asks(user_terminal, tpm_fixture):
    # pkttyagent registered for a child that then becomes bio_polkit_check (same pid); the
    # snippet stays the agent's parent, to reap it.
    terminal = user_terminal.python(f"""
import os, subprocess, sys
go_r, go_w = os.pipe()
child = os.fork()
if child == 0:
    os.read(go_r, 1)
    os.execv({CHECK!r}, [{CHECK!r}, "verify", {tpm_fixture.action!r}])
r, w = os.pipe()
agent = subprocess.Popen(["pkttyagent", "--process", str(child), "--notify-fd", str(w)], pass_fds=[w])
os.close(w)
os.read(r, 1)
os.write(go_w, b"go")
status = os.waitpid(child, 0)[1]
agent.terminate()
agent.wait()
sys.exit(os.waitstatus_to_exitcode(status))
""")
    terminal.expect(FINGER_PROMPT)
    assert len(user_processes(tpm_fixture, "pkttyagent")) == 1
    terminal.scan("finger-A")
    assert terminal.finish() == 0
    assert "verify: Verified" in terminal.output


@pytest.mark.parametrize("action, answer", [
    ("org.biometric.verify", "Challenge"),
    ("org.biometric.not-installed", "NotInstalled"),
])
def test_probe_tells_what_polkit_would_answer_the_user(user_terminal, tpm_fixture, action, answer):
    terminal = user_terminal([CHECK, "probe", action], controlling=False)
    assert terminal.finish() == 0
    assert f"probe: {answer} (" in terminal.output
