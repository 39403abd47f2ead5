"""Times biometric's calls against their limit and the alternatives; run by scripts/bench.

Each case is one call, timed in a tight loop of generated code (the call written out ten
times per iteration, so that the loop's own cost is a small share), with the garbage
collector off. The cases are interleaved: each round runs every case once, in a fresh
random order, after a short warm-up of its own; the table shows each case's median over
the rounds, and the spread between its quartiles.
"""
import argparse
import gc
import importlib.util
import json
import os
import pathlib
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time

UNROLL = 10
SAME_LIBCRYPTO = "one signature, same libcrypto in C"
LIMIT_SERVICE = "hand-written C calling the service"
UNSEAL_GROUP = "stand-in: unseal(key, 32-byte secret) against sign(key, 32 bytes)"


def load_extension(name, directory):
    """The extension module `name` built in `directory`, loaded under its own name but
    not entered in sys.modules (the instant build is also called biometric)."""
    matches = sorted(pathlib.Path(directory).glob(f"{name}.*.so"))
    if not matches:
        sys.exit(f"no {name} module in {directory}")
    spec = importlib.util.spec_from_file_location(name, matches[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def make_timer(arity):
    """run(loops, f, *args) -> ns for loops * UNROLL calls of f(*args)."""
    names = ", ".join(f"a{i}" for i in range(arity))
    call = f"        f({names})\n"
    source = (f"def run(loops, f, {names}, clock):\n"
              "    start = clock()\n"
              "    for _ in range(loops):\n" + call * UNROLL +
              "    return clock() - start\n")
    scope = {}
    exec(source, scope)
    return scope["run"]


class Case:
    def __init__(self, group, label, function, args):
        self.group, self.label, self.function, self.args = group, label, function, args
        self.timer = make_timer(len(args))
        self.loops = 1
        self.samples = []

    def run(self, loops):
        return self.timer(loops, self.function, *self.args, time.perf_counter_ns) / (loops * UNROLL)

    def calibrate(self, sample_ns):
        self.run(1)
        while True:
            elapsed = self.run(self.loops) * self.loops * UNROLL
            if elapsed >= sample_ns:
                return
            self.loops = max(self.loops * 2, int(self.loops * sample_ns / max(elapsed, 1)) + 1)

    def sample(self):
        self.run(max(1, self.loops // 10))  # warm-up after the other cases
        self.samples.append(self.run(self.loops))

    @property
    def median(self):
        return statistics.median(self.samples)

    @property
    def quartiles(self):
        q = statistics.quantiles(self.samples, n=4)
        return q[0], q[2]


def machine():
    model = platform.processor() or "unknown CPU"
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        compiler = "unknown compiler"
    return (f"{model}, {os.cpu_count()} logical CPUs; {platform.system()} {platform.release()}; "
            f"CPython {platform.python_version()}; {compiler}")


def load_text():
    one, five, fifteen = os.getloadavg()
    return f"{one:.2f} {five:.2f} {fifteen:.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the bench build directory")
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--sample-ms", type=float, default=20.0, help="time of one sample of a case")
    parser.add_argument("--json", help="write the results here")
    parser.add_argument("--chart", help="draw a bar chart (PNG) here")
    parser.add_argument("--earlier", metavar="DIR",
                        help="also time the stand-in module installed in DIR (e.g. an earlier version's site-packages)")
    options = parser.parse_args()

    for variable in ("BIOMETRIC_STANDIN_VERIFY", "BIOMETRIC_STANDIN_DELAY_MS"):
        os.environ.pop(variable, None)
    store = tempfile.TemporaryDirectory(prefix="biometric-bench-")
    os.environ["BIOMETRIC_STANDIN_STORE"] = store.name

    import biometric as standin  # the installed module, on the stand-in platform
    import biometric_keys as standin_keys
    import nanobind
    import pybind11
    from cryptography.hazmat.backends.openssl import backend
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import padding
    openssl_version = " ".join(backend.openssl_version_text().split()[:2])

    build = pathlib.Path(options.build) / "bench"
    instant = load_extension("biometric", build / "instant")
    limit = load_extension("bench_limit", build)
    nb = load_extension("bench_nanobind", build)
    pb = load_extension("bench_pybind11", build)
    direct = load_extension("bench_openssl", build)
    limit_service = load_extension("bench_limit_service", build)
    nb_service = load_extension("bench_nanobind_service", build)
    pb_service = load_extension("bench_pybind11_service", build)

    data = bytes(range(32))
    assert standin.setup("bench") is True
    key_file = next(pathlib.Path(store.name).glob("bench.key"))
    private_key = serialization.load_pem_private_key(key_file.read_bytes(), password=None)
    pkcs1, sha256 = padding.PKCS1v15(), hashes.SHA256()
    direct.load(key_file.read_bytes())
    # The same key signs the same way: all three make the identical signature.
    assert bytes(standin.authenticate("bench", data)) == private_key.sign(data, pkcs1, sha256) == direct.sign(data)
    signatures = [module.authenticate("bench", data) for module in (instant, limit, nb, pb, limit_service, nb_service,
                                                                    pb_service)]
    assert all(signature == signatures[0] for signature in signatures)
    assert all(module.setup("bench") is True for module in (instant, limit_service, nb_service, pb_service))

    overhead = [
        ("authenticate(key, 32 bytes)", [("hand-written C (limit)", limit), ("biometric", instant),
                                         (f"nanobind {nanobind.__version__}", nb),
                                         (f"pybind11 {pybind11.__version__}", pb)], ("bench", data)),
        ("setup(name)", [("hand-written C (limit)", limit), ("biometric", instant),
                         (f"nanobind {nanobind.__version__}", nb),
                         (f"pybind11 {pybind11.__version__}", pb)], ("bench",)),
    ]
    # Like for like: every binding calls the same service on the same instant platform.
    for call, args in (("authenticate(key, 32 bytes)", ("bench", data)), ("setup(name)", ("bench",))):
        overhead.append((f"{call}, all calling the service",
                         [(LIMIT_SERVICE, limit_service), ("biometric", instant),
                          (f"nanobind {nanobind.__version__} calling the service", nb_service),
                          (f"pybind11 {pybind11.__version__} calling the service", pb_service)], args))
    cases = []
    for call, implementations, args in overhead:
        function = call.split("(")[0]
        for label, module in implementations:
            cases.append(Case(call, label, getattr(module, function), args))
    cases.append(Case("stand-in: authenticate(key, 32 bytes)", SAME_LIBCRYPTO, direct.sign, (data,)))
    cases.append(Case("stand-in: authenticate(key, 32 bytes)", f"one signature, cryptography ({openssl_version})",
                      private_key.sign, (data, pkcs1, sha256)))
    cases.append(Case("stand-in: authenticate(key, 32 bytes)", "biometric on the stand-in", standin.authenticate,
                      ("bench", data)))
    assert standin_keys.sign("bench", data) == direct.sign(data)
    cases.append(Case("stand-in: authenticate(key, 32 bytes)", "biometric_keys.sign on the stand-in (lock released)",
                      standin_keys.sign, ("bench", data)))
    # Unsealing a 32-byte secret: one signature of the same credential, and the rest.
    envelope = standin_keys.seal("bench", data)
    assert standin_keys.unseal("bench", envelope) == data
    cases.append(Case(UNSEAL_GROUP, "biometric_keys.sign on the stand-in", standin_keys.sign, ("bench", data)))
    cases.append(Case(UNSEAL_GROUP, "biometric_keys.unseal on the stand-in", standin_keys.unseal, ("bench", envelope)))
    if options.earlier:
        earlier = load_extension("biometric", options.earlier)
        assert bytes(earlier.authenticate("bench", data)) == direct.sign(data)
        cases.append(Case("stand-in: authenticate(key, 32 bytes)", "biometric on the stand-in, earlier build",
                          earlier.authenticate, ("bench", data)))

    declared_groups = []
    for case in cases:
        if case.group not in declared_groups:
            declared_groups.append(case.group)
    load_before = load_text()
    gc.collect()
    gc.disable()
    try:
        for case in cases:
            case.calibrate(options.sample_ms * 1e6)
        order = random.Random(11)
        for _ in range(options.rounds):
            order.shuffle(cases)
            for case in cases:
                case.sample()
    finally:
        gc.enable()
    load_after = load_text()

    groups = {}
    for case in sorted(cases, key=lambda c: declared_groups.index(c.group)):
        groups.setdefault(case.group, []).append(case)
    lines = [f"machine: {machine()}",
             f"load average (1, 5, 15 min): {load_before} before, {load_after} after",
             f"{options.rounds} interleaved rounds, median ns per call (quartiles), ratio to the first row", ""]
    width = max(len(case.label) for case in cases) + 4
    results = []
    for group, members in groups.items():
        members.sort(key=lambda c: [c.label for c in cases_in_order(group, cases, overhead)].index(c.label))
        base = members[0].median
        lines.append(group)
        for case in members:
            low, high = case.quartiles
            lines.append(f"    {case.label:<{width}}{case.median:>12,.0f}  ({low:,.0f}..{high:,.0f})"
                         f"  {case.median / base:6.2f}x")
            results.append({"group": group, "label": case.label, "median_ns": case.median,
                            "quartiles_ns": [low, high], "ratio": case.median / base, "loops": case.loops * UNROLL})
        lines.append("")
    service = service_times(options.build, options.rounds)
    module_rows = {c.group: c.median for c in cases if c.label == "biometric"}
    limit_rows = {c.group: c.median for c in cases if c.label in ("hand-written C (limit)", LIMIT_SERVICE)}
    lines.append("where the module's time goes: the service alone on the instant platform (C++, no Python),")
    lines.append("the rest of the module's call beyond the limit (entry, binding, conversion), and the")
    lines.append("module's call beyond the hand-written C calling the same service")
    for group, operation in (("authenticate(key, 32 bytes)", "sign_with_credential"), ("setup(name)", "enrol_credential")):
        function = group.split("(")[0]
        rest = module_rows[group] - limit_rows[group] - service[operation]
        beyond = module_rows[group] - limit_rows[f"{group}, all calling the service"]
        lines.append(f"    {operation:<{width}}{service[operation]:>12,.0f}")
        lines.append(f"    {'rest of ' + function + ' beyond the limit':<{width}}{rest:>12,.0f}")
        lines.append(f"    {function + ' beyond C calling the service':<{width}}{beyond:>12,.0f}")
        results.append({"group": "service", "label": operation, "median_ns": service[operation]})
    lines.append("")
    lines.extend(lock_lines(standin, standin_keys, data, results))
    lines.append("")
    lines.extend(seal_lines(standin_keys, results))
    print("\n".join(lines).rstrip())
    if options.json:
        pathlib.Path(options.json).write_text(json.dumps(
            {"machine": machine(), "load": [load_before, load_after], "rounds": options.rounds,
             "results": results}, indent=2) + "\n")
    if options.chart:
        draw(groups, options.chart)


def counted_during(call):
    """How far a second Python thread counts while `call` runs in this one."""
    counted, done = [0], threading.Event()

    def count():
        while not done.is_set():
            counted[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    try:
        call()
    finally:
        done.set()
        thread.join()
    return counted[0]


def signatures_per_second(sign, threads, seconds=2.0):
    """Signatures per second that `threads` threads calling `sign` make together."""
    counts = [0] * threads
    stop = time.perf_counter() + seconds

    def work(i):
        while time.perf_counter() < stop:
            sign()
            counts[i] += 1

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - start)


def lock_lines(standin, standin_keys, data, results):
    """The interpreter lock while a call waits: another thread's progress during a 1 s
    simulated prompt, and two threads signing at once on the stand-in."""
    alone = counted_during(lambda: time.sleep(1.0))
    os.environ["BIOMETRIC_STANDIN_DELAY_MS"] = "1000"
    try:
        released = counted_during(lambda: standin_keys.sign("bench", data))
        held = counted_during(lambda: standin.authenticate("bench", data))
    finally:
        del os.environ["BIOMETRIC_STANDIN_DELAY_MS"]
    one = signatures_per_second(lambda: standin_keys.sign("bench", data), 1)
    two = signatures_per_second(lambda: standin_keys.sign("bench", data), 2)
    results.append({"group": "lock", "label": "counting thread during sign, share of alone", "ratio": released / alone})
    results.append({"group": "lock", "label": "counting thread during authenticate, share of alone",
                    "ratio": held / alone})
    results.append({"group": "lock", "label": "two threads signing, per second, over one", "ratio": two / one})
    return ["the interpreter lock while a call waits (stand-in, BIOMETRIC_STANDIN_DELAY_MS=1000): how far another",
            "thread counts, as a share of how far it counts alone in 1 s",
            f"    biometric_keys.sign (gives the lock up)        {100 * released / alone:6.1f} %",
            f"    biometric.authenticate (holds it: the contract) {100 * held / alone:5.1f} %",
            "signatures per second on the stand-in with biometric_keys.sign",
            f"    one thread                                      {one:8.1f}",
            f"    two threads                                     {two:8.1f}  ({two / one:.2f}x)"]


def seal_lines(standin_keys, results, megabytes=100, rounds=5):
    """seal and unseal of a large secret on the stand-in, in MB/s (the median of `rounds`),
    beside `openssl speed -evp aes-256-gcm` on 16 KiB blocks."""
    secret = os.urandom(megabytes * 2**20)
    seal, unseal = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        envelope = standin_keys.seal("bench", secret)
        middle = time.perf_counter()
        assert standin_keys.unseal("bench", envelope) == secret
        seal.append(megabytes / (middle - start))
        unseal.append(megabytes / (time.perf_counter() - middle))
    speed = subprocess.run(["openssl", "speed", "-seconds", "2", "-evp", "aes-256-gcm"], capture_output=True,
                           text=True)
    # The last column of the summary row: thousands of bytes per second on 16 KiB blocks.
    row = [line for line in speed.stdout.splitlines() if line.lower().startswith("aes-256-gcm")]
    openssl = float(row[-1].split()[-1].rstrip("k")) * 1000 / 2**20 if row else float("nan")
    results.append({"group": "seal", "label": f"seal {megabytes} MB, MB/s", "value": statistics.median(seal)})
    results.append({"group": "seal", "label": f"unseal {megabytes} MB, MB/s", "value": statistics.median(unseal)})
    results.append({"group": "seal", "label": "openssl speed -evp aes-256-gcm, 16 KiB, MB/s", "value": openssl})
    return [f"seal and unseal of {megabytes} MB on the stand-in (median of {rounds}), beside OpenSSL's own AES-256-GCM",
            f"    seal                                            {statistics.median(seal):8.0f} MB/s",
            f"    unseal                                          {statistics.median(unseal):8.0f} MB/s",
            f"    openssl speed -evp aes-256-gcm, 16 KiB blocks   {openssl:8.0f} MB/s"]


def service_times(build, rounds):
    """Median ns of the service's two operations, timed by bench_service."""
    output = subprocess.run([str(pathlib.Path(build) / "bench" / "bench_service"), str(rounds)],
                            capture_output=True, text=True, check=True).stdout
    return {name: float(value) for name, value in (line.split() for line in output.splitlines()) if name != "sink"}


def cases_in_order(group, cases, overhead):
    """The cases of `group` in the order they were declared (the first is the baseline)."""
    declared = {}
    for call, implementations, _ in overhead:
        declared[call] = [label for label, _ in implementations]
    by_label = {c.label: c for c in cases if c.group == group}
    first = [SAME_LIBCRYPTO] if SAME_LIBCRYPTO in by_label else []
    labels = declared.get(group, first + sorted(set(by_label) - {SAME_LIBCRYPTO}, key=str.lower))
    return [by_label[label] for label in labels]


def draw(groups, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    columns = min(3, len(groups))
    rows = (len(groups) + columns - 1) // columns
    figure, axes = plt.subplots(rows, columns, figsize=(5 * columns, 4.4 * rows), squeeze=False)
    axes = axes.ravel()
    for axis in axes[len(groups):]:
        axis.set_visible(False)
    for axis, (group, members) in zip(axes, groups.items()):
        labels = [c.label.replace(" (", "\n(") for c in members]
        medians = [c.median / (1000 if c.median > 10_000 else 1) for c in members]
        unit = "µs" if members[0].median > 10_000 else "ns"
        errors = [[(c.median - c.quartiles[0]) / (1000 if unit == "µs" else 1) for c in members],
                  [(c.quartiles[1] - c.median) / (1000 if unit == "µs" else 1) for c in members]]
        colours = ["#888888" if i == 0 else "#1f77b4" if "biometric" in c.label else "#ff7f0e"
                   for i, c in enumerate(members)]
        bars = axis.bar(range(len(members)), medians, yerr=errors, color=colours, capsize=3)
        axis.bar_label(bars, labels=[f"{m:,.0f}" if m >= 100 else f"{m:,.1f}" for m in medians], padding=2,
                       fontsize=8)
        axis.set_xticks(range(len(members)), labels, fontsize=7, rotation=20, ha="right")
        axis.set_title(group, fontsize=9)
        axis.set_ylabel(f"median {unit} per call")
    figure.tight_layout()
    figure.savefig(path, dpi=110)


if __name__ == "__main__":
    main()
