#!/usr/bin/python3
# Two pseudo-terminals joined back to back, for running two serial programs against each other.
# Prints "A <path>" and "B <path>", then relays bytes both ways until its standard input closes.
# It keeps both ports open itself, so that either program may come and go.
import os
import select
import sys
import tty

pairs = [os.openpty() for _ in range(2)]
for _, follower in pairs:
    tty.setraw(follower)
print("A", os.ttyname(pairs[0][1]))
print("B", os.ttyname(pairs[1][1]), flush=True)
leaders = [pairs[0][0], pairs[1][0]]
while True:
    ready, _, _ = select.select(leaders + [sys.stdin.fileno()], [], [])
    if sys.stdin.fileno() in ready and not os.read(sys.stdin.fileno(), 1):
        break
    for side, leader in enumerate(leaders):
        if leader in ready:
            data = os.read(leader, 4096)
            if data:
                os.write(leaders[1 - side], data)
