#!/usr/bin/env python3
"""`tellivar-host serve` against the clients that anyone on a desk network
could point at it, from loopback: oversized requests, idle and slow
connections, streams that are never read, floods of histories, requests
from other names and origins. Each class starts its own server on a free
port and runs in bounded time; the attacking sockets come from other
loopback addresses (127.0.0.2 and up) than the page (127.0.0.1).

    serve_limits_test.py HOST_PROGRAM PLUGIN [unittest arguments, e.g. a class name]
"""
import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

HOST_PROGRAM = PLUGIN = None
MEMORY_LIMIT_MB = 64
PAGE_LOAD_SECONDS = 1.0   # a normal page load, whatever else is attached
CTRL_C_SECONDS = 2.0      # Ctrl-C to exit, whatever the clients do
PAGE_PATHS = ['/', '/app.js', '/style.css', '/lightweight-charts.js', '/api/info', '/api/status']


class Server:
    """tellivar-host serve --port 0 as a child; `url` is the address it printed."""

    def __init__(self, *extra, env=None):
        self.process = subprocess.Popen(
            [HOST_PROGRAM, '--plugin', PLUGIN, 'serve', '--port', '0', *extra],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env={**os.environ, **(env or {})})
        self.err = []
        threading.Thread(target=lambda: self.err.extend(self.process.stderr), daemon=True).start()
        self.url = None
        ready, _, _ = select.select([self.process.stdout], [], [], 15)
        line = self.process.stdout.readline() if ready else ''
        found = re.search(r'serving (http://[^:/]+:(\d+)/\S*)', line)
        if not found:
            self.process.kill()
            raise AssertionError(f'server did not start: {line!r} {"".join(self.err)}')
        self.url, self.port = found.group(1), int(found.group(2))

    def peak_memory_mb(self):
        with open(f'/proc/{self.process.pid}/status') as status:
            return int(re.search(r'VmHWM:\s+(\d+) kB', status.read()).group(1)) / 1024

    def stop(self):
        """Ctrl-C; (exit code, seconds it took). Killed after 15 s."""
        started = time.monotonic()
        self.process.send_signal(signal.SIGINT)
        try:
            code = self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        return code, time.monotonic() - started

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


def connect(port, source='127.0.0.1', timeout=5.0):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    sock.bind((source, 0))
    sock.connect(('127.0.0.1', port))
    return sock


def request_text(port, path, method='GET', headers=None, version='HTTP/1.1'):
    fields = {'Host': f'127.0.0.1:{port}', 'Connection': 'close', **(headers or {})}
    lines = [f'{method} {path} {version}'] + [f'{k}: {v}' for k, v in fields.items() if v is not None]
    return ('\r\n'.join(lines) + '\r\n\r\n').encode()


def read_answer(sock, limit=4 << 20):
    """(status, headers in lower case, body) of an answer read until the
    server closes, or `limit` bytes; status 0 when nothing came."""
    data = b''
    try:
        while len(data) < limit:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
    except (socket.timeout, ConnectionResetError):
        pass
    head, _, body = data.partition(b'\r\n\r\n')
    lines = head.decode('latin1').split('\r\n')
    status = re.match(r'HTTP/1\.\d (\d+)', lines[0])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(':')
        headers[name.strip().lower()] = value.strip()
    return (int(status.group(1)) if status else 0), headers, body


def get(port, path, source='127.0.0.1', headers=None, method='GET', version='HTTP/1.1', timeout=5.0):
    with connect(port, source, timeout) as sock:
        sock.sendall(request_text(port, path, method, headers, version))
        return read_answer(sock)


def load_page(port, **kw):
    """Seconds a page and its resources took to load; each must answer 200."""
    started = time.monotonic()
    for path in PAGE_PATHS:
        status, _, _ = get(port, path, **kw)
        assert status == 200, f'{path}: {status}'
    return time.monotonic() - started


def closed_by_server(sock, wait):
    """True once the server ended the connection, within `wait` seconds."""
    sock.settimeout(wait)
    try:
        while True:
            if not sock.recv(65536):
                return True
    except (socket.timeout, BlockingIOError):
        return False
    except OSError:
        return True


def send_until_refused(sock, block, total):
    """Sends `block` until `total` bytes went or the server stopped taking them."""
    sent = 0
    try:
        while sent < total:
            sock.sendall(block)
            sent += len(block)
    except OSError:
        pass
    return sent


def in_parallel(*jobs):
    threads = [threading.Thread(target=job) for job in jobs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)


class MemoryStaysBoundedUnderOversizedRequests(unittest.TestCase):
    """Each attack on a fresh server: its peak resident memory stays under the
    limit, and the server goes on answering and stops on Ctrl-C."""

    def attack(self, *jobs):
        with Server() as server:
            answers = {}
            in_parallel(*[lambda job=job: job(server.port, answers) for job in jobs])
            self.assertLess(server.peak_memory_mb(), MEMORY_LIMIT_MB)
            self.assertLess(load_page(server.port), PAGE_LOAD_SECONDS)
            code, seconds = server.stop()
            self.assertEqual(code, 0)
            self.assertLess(seconds, CTRL_C_SECONDS)
            return answers

    @staticmethod
    def ranges(path, key):
        def job(port, answers):
            with connect(port, '127.0.0.2', 20) as sock:
                sock.sendall(request_text(port, path, headers={'Range': 'bytes=' + ','.join(['0-'] * 2700)}))
                answers[key] = read_answer(sock, 8 << 20)
        return job

    @staticmethod
    def endless_headers(source, total):
        def job(port, answers):
            with connect(port, source, 20) as sock:
                sock.sendall(b'GET /api/info HTTP/1.1\r\nHost: x\r\n')
                block = b''.join(b'X-Fill-%06d: a\r\n' % i for i in range(50000))  # ~1 MB
                send_until_refused(sock, block, total)
        return job

    @staticmethod
    def body(key, head, block, total):
        def job(port, answers):
            with connect(port, '127.0.0.3', 20) as sock:
                sock.sendall(head(port))
                answers[key] = send_until_refused(sock, block, total)
        return job

    def test_thousands_of_ranges_get_the_content_once(self):
        answers = self.attack(*[self.ranges('/lightweight-charts.js', f'asset{i}') for i in range(6)],
                              self.ranges('/api/history?symbol=ACME&count=5000&interval=W1', 'history'))
        status, _, body = answers['asset0']
        self.assertEqual(status, 200)
        self.assertLess(len(body), 2 << 20)
        self.assertEqual(answers['history'][0], 200)

    def test_endless_headers_are_cut_off(self):
        self.attack(self.endless_headers('127.0.0.4', 10 << 20),
                    *[self.endless_headers(f'127.0.0.{5 + i}', 16 << 20) for i in range(4)])

    def test_request_bodies_are_not_read(self):
        answers = self.attack(
            self.body('length', lambda port: request_text(port, '/api/info', headers={'Content-Length': '314572800'}),
                      b'x' * (1 << 20), 100 << 20),
            self.body('chunked', lambda port: request_text(port, '/api/info', 'POST', {'Transfer-Encoding': 'chunked'}),
                      b'100000\r\n' + b'x' * 0x100000 + b'\r\n', 100 << 20))
        self.assertLess(answers['length'], 100 << 20)
        self.assertLess(answers['chunked'], 100 << 20)


class IdleAndSlowConnectionsHoldNothingUp(unittest.TestCase):
    def attach(self, port):
        """300 idle connections from five addresses, 40 sending a header byte a second."""
        idle = [connect(port, f'127.0.0.{2 + i // 60}') for i in range(300)]
        slow = [connect(port, '127.0.0.7') for _ in range(40)]
        for sock in slow:
            sock.sendall(b'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ')
        stop = threading.Event()

        def trickle():
            while not stop.wait(1.0):
                for sock in slow:
                    try:
                        sock.send(b'a')
                    except OSError:
                        pass
        threading.Thread(target=trickle, daemon=True).start()
        return idle, slow, stop

    def test_a_page_loads_at_once_and_overstaying_requests_are_closed(self):
        with Server() as server:
            idle, slow, stop = self.attach(server.port)
            time.sleep(0.5)
            self.assertLess(load_page(server.port), PAGE_LOAD_SECONDS)
            # One address gets 64 connections; the rest are closed as they come.
            crowd = [connect(server.port, '127.0.0.8') for _ in range(70)]
            time.sleep(0.3)
            self.assertEqual(sum(closed_by_server(sock, 0.001) for sock in crowd), 6)
            # A whole request within 10 s, or the connection is closed.
            started = time.monotonic()
            time.sleep(11.5)
            self.assertTrue(all(closed_by_server(sock, 0.01) for sock in slow))
            self.assertTrue(all(closed_by_server(sock, 0.01) for sock in idle))
            stop.set()
            self.assertLess(time.monotonic() - started, 13)
            for sock in idle + slow + crowd:
                sock.close()

    def test_ctrl_c_ends_the_server_while_they_are_attached(self):
        with Server() as server:
            idle, slow, stop = self.attach(server.port)
            time.sleep(1.0)
            code, seconds = server.stop()
            stop.set()
            self.assertEqual(code, 0)
            self.assertLess(seconds, CTRL_C_SECONDS)
            for sock in idle + slow:
                sock.close()


class StreamsThatAreNeverReadLoseTheirSlots(unittest.TestCase):
    def test_they_are_closed_and_a_new_page_gets_a_slot(self):
        symbols = ','.join(f'SYM{i}' for i in range(20))
        with Server('--symbols', symbols, env={'SIMFEED_RATE': '500'}) as server:
            port = server.port
            started = time.monotonic()
            stuck = [connect(port, '127.0.0.2') for _ in range(20)]
            for sock in stuck:
                sock.sendall(request_text(port, '/events?symbol=SYM0&interval=1', headers={'Connection': None}))
            time.sleep(0.5)
            # Every slot taken: a real page is told when to come back.
            status, headers, _ = get(port, '/events?symbol=SYM1&interval=1')
            self.assertEqual(status, 503)
            self.assertEqual(headers.get('retry-after'), '5')
            while time.monotonic() - started < 30 and '"pages":0' not in get(port, '/api/status')[2].decode():
                time.sleep(0.5)
            self.assertLess(time.monotonic() - started, 30, get(port, '/api/status')[2])
            with connect(port) as page:
                page.sendall(request_text(port, '/events?symbol=SYM1&interval=1'))
                page.settimeout(5)
                self.assertTrue(page.recv(4096).startswith(b'HTTP/1.1 200'))
            for sock in stuck:
                sock.close()


class HistoriesAreBoundedAndCancelled(unittest.TestCase):
    def test_a_flood_of_stalled_histories_neither_blocks_the_page_nor_ctrl_c(self):
        with Server(env={'SIMFEED_HISTORY': 'stall'}) as server:
            port = server.port
            flood = [connect(port, f'127.0.0.{2 + i % 4}', 30) for i in range(40)]
            for sock in flood:
                sock.sendall(request_text(port, '/api/history?symbol=ACME&interval=W1&count=5000'))
            time.sleep(0.5)
            self.assertLess(load_page(port), PAGE_LOAD_SECONDS)
            refused = []
            for sock in flood:
                sock.settimeout(0.2)
                try:
                    refused.append(sock.recv(4096))
                except socket.timeout:
                    pass
            # Four wait for the plug-in; the others are told when to come back.
            self.assertEqual(len(refused), 36)
            self.assertTrue(all(b' 503 ' in r and b'Retry-After: 5' in r for r in refused))
            code, seconds = server.stop()
            self.assertEqual(code, 0)
            self.assertLess(seconds, CTRL_C_SECONDS)
            for sock in flood:
                sock.close()


class OnlyThisServersPagesAreServed(unittest.TestCase):
    def test_host_origin_and_token_checks(self):
        token = 'feedc0de' * 4
        with Server('--token', token, '--allow-host', 'desk.example') as server:
            port = server.port
            here = f'127.0.0.1:{port}'
            cookie = f'tellivar_token_{port}={token}'
            cases = [  # path, headers, status
                ('/api/info', {'Cookie': cookie}, 200),
                ('/api/info?token=' + token, {}, 200),
                ('/api/info', {}, 403),
                ('/api/info?token=' + token[:-1] + '0', {}, 403),
                ('/api/info', {'Cookie': f'tellivar_token_{port}={token[:-1]}'}, 403),
                ('/api/info', {'Cookie': cookie, 'Host': 'attacker.example'}, 403),
                ('/api/info', {'Cookie': cookie, 'Host': f'attacker.example:{port}'}, 403),
                ('/api/info', {'Cookie': cookie, 'Host': f'127.0.0.1:{port + 1}'}, 403),
                ('/api/info', {'Cookie': cookie, 'Host': None}, 403),
                ('/api/info', {'Cookie': cookie, 'Host': f'localhost:{port}'}, 200),
                ('/api/info', {'Cookie': cookie, 'Host': f'DESK.example:{port}'}, 200),
                ('/api/info', {'Cookie': cookie, 'Origin': f'http://{here}'}, 200),
                ('/api/info', {'Cookie': cookie, 'Origin': 'http://attacker.example'}, 403),
                ('/api/info', {'Cookie': cookie, 'Origin': 'null'}, 403),
                ('/events?symbol=ACME', {'Cookie': cookie, 'Origin': 'http://attacker.example'}, 403),
                (f'/api/history?symbol=ACME&count=3&token={token}', {}, 200),
            ]
            for path, headers, expected in cases:
                with self.subTest(path=path, headers=headers):
                    self.assertEqual(get(port, path, headers=headers)[0], expected)
            # The page's address with the token leaves a cookie for the page's own requests.
            status, headers, _ = get(port, f'/?token={token}')
            self.assertEqual(status, 200)
            self.assertIn(cookie, headers.get('set-cookie', ''))
            self.assertIn('HttpOnly', headers.get('set-cookie', ''))
            # Nothing was opened for the refused stream.
            self.assertIn('"pages":0,"suppliers":0', get(port, '/api/status', headers={'Cookie': cookie})[2].decode())

    def test_other_addresses_than_loopback_need_a_token_unless_told_otherwise(self):
        def status_of(port, path):
            with socket.create_connection(('127.0.0.2', port), 5) as sock:
                sock.sendall(request_text(port, path, headers={'Host': f'127.0.0.2:{port}'}))
                return read_answer(sock)[0]
        with Server('--bind', '127.0.0.2', '-q') as server:
            found = re.fullmatch(r'http://127\.0\.0\.2:\d+/\?token=([0-9a-f]{32})', server.url)
            self.assertTrue(found, server.url)
            self.assertEqual(status_of(server.port, '/api/info'), 403)
            self.assertEqual(status_of(server.port, f'/api/info?token={found.group(1)}'), 200)
            server.stop()
        with Server('--bind', '127.0.0.2', '-q', '--no-token') as open_server:
            self.assertNotIn('token', open_server.url)
            self.assertEqual(status_of(open_server.port, '/api/info'), 200)
            open_server.stop()
        # Told even when quiet.
        for warned in (server, open_server):
            self.assertIn('warning: serving on 127.0.0.2', ''.join(warned.err))
        # A token goes into a cookie and an address as it is.
        for bad in ['tooshort', 'a; Path=/x' + 'a' * 16]:
            refused = subprocess.run([HOST_PROGRAM, '--plugin', PLUGIN, 'serve', '--port', '0', '--token', bad],
                                     capture_output=True, text=True, timeout=15)
            self.assertEqual(refused.returncode, 2, refused.stderr)


class ThePanelIsNotFloodedByRequests(unittest.TestCase):
    def test_lines_logged_for_page_requests_stay_off_the_shared_panel(self):
        with Server() as server:
            port = server.port
            for interval in ['1', '5', '15', '60', 'D1', 'W1']:
                self.assertEqual(get(port, f'/api/history?symbol=ACME&count=3&interval={interval}')[0], 200)
            for i in range(5):
                self.assertEqual(get(port, f'/events?symbol=acme{i}')[0], 404)
            messages = get(port, '/api/status')[2].decode()
            self.assertIn('Logon', messages)  # the session's own lines stay
            self.assertNotIn('Query is', messages)
            self.assertNotIn('acme', messages)


class HttpDetails(unittest.TestCase):
    def test_methods_http_1_0_streams_and_pipelining(self):
        with Server() as server:
            port = server.port
            for method in ['POST', 'PUT', 'DELETE', 'OPTIONS', 'HEAD']:
                with self.subTest(method=method):
                    status, headers, _ = get(port, '/api/info', method=method, headers={'Content-Length': '0'})
                    self.assertEqual(status, 405)
                    self.assertEqual(headers.get('allow'), 'GET')
            with connect(port) as sock:
                sock.sendall(request_text(port, '/events', version='HTTP/1.0'))
                sock.settimeout(3)
                text = b''
                while b'event: state' not in text:
                    text += sock.recv(4096)
                head, _, body = text.partition(b'\r\n\r\n')
                self.assertNotIn(b'chunked', head.lower())
                self.assertTrue(body.startswith(b'retry: '), body[:40])
            with connect(port) as sock:
                keep = request_text(port, '/api/info', headers={'Connection': None})
                sock.sendall(keep + request_text(port, '/api/status'))
                text = b''
                sock.settimeout(5)
                while text.count(b'HTTP/1.1 200') < 2:
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    text += chunk
                self.assertEqual(text.count(b'HTTP/1.1 200'), 2)


if __name__ == '__main__':
    HOST_PROGRAM, PLUGIN = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], '-v', *sys.argv[3:]])
