"""A Prometheus endpoint for what the OpenTelemetry SDK collects (the ``otel`` extra).

Install a :class:`PrometheusReader` on the application's meter provider; each scrape
of its WSGI or ASGI application collects (the book's gauges read the database then)
and answers in the Prometheus text format, names and units mapped the usual way:
``http.client.request.duration`` (seconds) is ``http_client_request_duration_seconds``,
a counter gets ``_total``.
"""

from __future__ import annotations

import asyncio
import json
import math
import re
import threading
from collections.abc import Awaitable, Callable, Iterable
from typing import Any

try:
    from opentelemetry.sdk.metrics.export import (Gauge, Histogram, MetricReader,
                                                  MetricsData, Sum)
except ImportError:  # pragma: no cover - depends on the installation
    raise ImportError("the Prometheus endpoint needs the OpenTelemetry SDK: "
                      "pip install 'quorvex-bo[otel]'") from None

__all__ = ["CONTENT_TYPE", "PrometheusReader", "render"]

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
_UNITS = {"s": "seconds", "ms": "milliseconds", "By": "bytes"}
_INVALID = re.compile(r"[^a-zA-Z0-9_:]")
_INVALID_LABEL = re.compile(r"[^a-zA-Z0-9_]")


class PrometheusReader(MetricReader):
    """A metric reader that collects when scraped: ``MeterProvider(metric_readers=[
    reader])``, then serve :meth:`wsgi_app` or :meth:`asgi_app` (at ``/metrics``)."""

    def __init__(self) -> None:
        super().__init__()
        self._data: MetricsData | None = None
        self._lock = threading.Lock()  # one collection at a time, each rendered whole

    def _receive_metrics(self, metrics_data: MetricsData, timeout_millis: float = 10_000,
                         **kwargs: Any) -> None:
        self._data = metrics_data

    def shutdown(self, timeout_millis: float = 30_000, **kwargs: Any) -> None:
        pass

    def scrape(self) -> bytes:
        """Collects now; the metrics in the Prometheus text format."""
        with self._lock:
            self._data = None
            self.collect()
            return render(self._data)

    def wsgi_app(self) -> Callable[[dict[str, Any], Callable[..., Any]], Iterable[bytes]]:
        def app(environ: dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
            status, headers, body = self._answer(environ.get("REQUEST_METHOD"), self.scrape)
            start_response(status, headers)
            return [body]
        return app

    def asgi_app(self) -> Callable[..., Awaitable[None]]:
        """The endpoint for an ASGI server; the collection runs on a thread."""
        async def app(scope: dict[str, Any], receive: Callable[[], Awaitable[Any]],
                      send: Callable[[dict[str, Any]], Awaitable[None]]) -> None:
            if scope["type"] == "lifespan":
                while (await receive())["type"] != "lifespan.shutdown":
                    await send({"type": "lifespan.startup.complete"})
                await send({"type": "lifespan.shutdown.complete"})
                return
            if scope["type"] != "http":
                return
            body = await asyncio.to_thread(self.scrape) if scope.get("method") in (
                "GET", "HEAD") else b""
            status, headers, body = self._answer(scope.get("method"), lambda: body)
            await send({"type": "http.response.start", "status": int(status[:3]),
                        "headers": [(k.lower().encode(), v.encode()) for k, v in headers]})
            await send({"type": "http.response.body", "body": body})
        return app

    @staticmethod
    def _answer(method: object, scrape: Callable[[], bytes]
                ) -> tuple[str, list[tuple[str, str]], bytes]:
        if method not in ("GET", "HEAD"):
            return "405 Method Not Allowed", [("Allow", "GET, HEAD"),
                                              ("Content-Length", "0")], b""
        body = scrape()
        return "200 OK", [("Content-Type", CONTENT_TYPE),
                          ("Content-Length", str(len(body)))], b"" if method == "HEAD" else body


def _name(name: str, unit: str) -> str:
    unit = _UNITS.get(unit, "" if unit.startswith("{") or unit == "1" else unit)
    name = _INVALID.sub("_", name)
    if unit and not name.endswith("_" + _INVALID.sub("_", unit)):
        name += "_" + _INVALID.sub("_", unit)
    return name


def _labels(attributes: Any, *extra: tuple[str, str]) -> str:
    """``{name="value",…}``: attribute keys made label names (two keys that come out
    the same share the label, their values joined by ``;``), booleans and sequences
    written as JSON."""
    found: dict[str, str] = {}
    for key, value in [*(attributes or {}).items(), *extra]:
        label = _INVALID_LABEL.sub("_", str(key))
        if label[:1].isdigit() or label.startswith("__"):  # reserved or not a name
            label = "key_" + label
        text = json.dumps(list(value) if isinstance(value, (tuple, list)) else value) \
            if isinstance(value, (bool, tuple, list)) else str(value)
        found[label] = f"{found[label]};{text}" if label in found else text
    return "{" + ",".join(f'{label}="{_escape(value)}"' for label, value in found.items()) + \
        "}" if found else ""


def _escape(value: str, quote: bool = True) -> str:
    value = value.replace("\\", "\\\\").replace("\n", "\\n")
    return value.replace('"', '\\"') if quote else value  # HELP text quotes nothing


def _number(value: float) -> str:
    if math.isinf(value):
        return "+Inf" if value > 0 else "-Inf"
    if math.isnan(value):
        return "NaN"
    return repr(float(value)) if isinstance(value, float) else str(value)


def render(data: MetricsData | None) -> bytes:
    """Metrics in the Prometheus text format (exponential histograms are left out).

    Metrics of one name from several scopes (an instrumented transport reports
    ``http.client.request.duration`` too) form one family, the later scopes' series
    labelled ``otel_scope_name``; one of another type under a taken name is left out.
    """
    families: dict[str, tuple[str, str, list[str]]] = {}  # name: (kind, scope, lines)
    for resource in data.resource_metrics if data is not None else ():
        for scope in resource.scope_metrics:
            for metric in scope.metrics:
                points: Any = metric.data
                counter = isinstance(points, Sum) and points.is_monotonic
                kind = "counter" if counter else "histogram" \
                    if isinstance(points, Histogram) else "gauge" \
                    if isinstance(points, (Gauge, Sum)) else None
                if kind is None:
                    continue
                # A family is named without _total: a counter's ``x_total`` takes ``x``.
                base = _name(metric.name, metric.unit or "")
                name = base + "_total" if counter else base
                family = families.setdefault(base, (kind, scope.scope.name, [
                    f"# HELP {name} {_escape(metric.description or metric.name, False)}",
                    f"# TYPE {name} {kind}"]))
                if family[0] != kind:
                    continue
                lines = family[2]
                extra = () if family[1] == scope.scope.name else (
                    ("otel_scope_name", scope.scope.name),)
                for point in points.data_points:
                    labels = point.attributes
                    if kind != "histogram":
                        lines.append(f"{name}{_labels(labels, *extra)} {_number(point.value)}")
                        continue
                    total = 0
                    bounds = [*point.explicit_bounds, math.inf]
                    for bound, count in zip(bounds, point.bucket_counts):
                        total += count
                        le = _labels(labels, *extra, ("le", _number(bound)))
                        lines.append(f"{name}_bucket{le} {total}")
                    lines.append(f"{name}_sum{_labels(labels, *extra)} {_number(point.sum)}")
                    lines.append(f"{name}_count{_labels(labels, *extra)} {point.count}")
    lines = [line for _, _, family_lines in families.values() for line in family_lines]
    return ("\n".join(lines) + "\n").encode() if lines else b""
