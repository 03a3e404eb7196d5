"""Reference SMTP client for scripts/bench: one session, COUNT messages; prints messages/s.
Usage: smtp_reference.py PORT COUNT"""
import smtplib
import sys
import time

port, count = int(sys.argv[1]), int(sys.argv[2])
message = ("From: bench@korvane.test\r\nTo: to@x.test\r\nSubject: Benchmark\r\n\r\n"
           "Benchmark body\r\n")
start = time.monotonic()
with smtplib.SMTP("127.0.0.1", port) as client:
    client.ehlo()
    for _ in range(count):
        client.sendmail("bench@korvane.test", ["to@x.test"], message)
print("%.1f" % (count / (time.monotonic() - start)))
