#!/usr/bin/python3
"""The text model's training and generation written plainly in Python, the
reference that bench/run-text-bench.sh measures text_bench against.

    python3 bench/text_reference.py CORPUS [ORDER...]

Same algorithm as the runtime: the text wraps around by `order` bytes, each
state counts the bytes after it in a dict of dicts, and generation starts at a
random state and draws each next byte in proportion to its count. Bytes are
read as Latin-1, so that one character is one byte. Prints the same lines as
text_bench; times are processor time, the best of `RUNS` runs (default 1).
"""
import os
import random
import resource
import sys
import time

GENERATED = 1000000
RUNS = int(os.environ.get("RUNS", "1"))


def train(text, order):
    k = max(order, 0)
    if k >= 1 and text:
        text = text + text[:k]
    model = {}
    for i in range(len(text) - k):
        state = text[i:i + k]
        following = model.get(state)
        if following is None:
            following = model[state] = {}
        nxt = text[i + k]
        following[nxt] = following.get(nxt, 0) + 1
    return model


def generate(model, length, order, rng):
    state = rng.choice(list(model))
    out = [state]
    for _ in range(length):
        following = model.get(state)
        if not following:
            break
        r = sum(following.values()) * rng.random()
        chosen = None
        for c, n in following.items():
            if n > r:
                chosen = c
                break
            r -= n
        if chosen is None:
            chosen = next(iter(following))
        out.append(chosen)
        state = state[1:] + chosen if len(state) >= order else state + chosen
    return "".join(out)


def best_seconds(work):
    best, result = None, None
    for _ in range(RUNS):
        start = time.process_time()
        result = work()
        elapsed = time.process_time() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, result


def main():
    with open(sys.argv[1], "rb") as f:
        corpus = f.read().decode("latin-1")
    orders = [int(a) for a in sys.argv[2:]] or [3, 6]
    rng = random.Random()
    for order in orders:
        seconds, model = best_seconds(lambda: train(corpus, order))
        transitions = sum(len(f) for f in model.values())
        print(f"train order={order} bytes={len(corpus)} seconds={seconds:.4f} mbps={len(corpus) / seconds / 1e6:.2f} "
              f"states={len(model)} transitions={transitions}")
        seconds, text = best_seconds(lambda: generate(model, GENERATED, order, rng))
        print(f"generate order={order} bytes={len(text)} seconds={seconds:.4f} mbps={len(text) / seconds / 1e6:.2f}")
    print(f"peak rss_kb={resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}")


if __name__ == "__main__":
    main()
