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
from typing import Any

try:
    from opentelemetry.sdk.metrics.export import (Gauge, Histogram, MetricReader,
                                                  MetricsData, Sum)
except ImportError:  # pragma: no cover - depends on the installation
    raise ImportError("the Prometheus endpoint needs the OpenTelemetry SDK: "
                      "pip install 'quorvex-bo[otel]'") from None

from quorvex_bo.fx.web.adapters import ASGIApp, WSGIApp, asgi_app, wsgi_app
from quorvex_bo.fx.web.messages import Request, Response

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

    def wsgi_app(self) -> WSGIApp:
        """The endpoint for a WSGI server: any path, GET or HEAD."""
        def answer(request: Request) -> Response:
            return _NOT_ALLOWED if request.method not in ("GET", "HEAD") else \
                Response.of(200, self.scrape(), CONTENT_TYPE)
        return wsgi_app(answer)

    def asgi_app(self) -> ASGIApp:
        """The endpoint for an ASGI server; the collection runs on a thread."""
        async def answer(request: Request) -> Response:
            return _NOT_ALLOWED if request.method not in ("GET", "HEAD") else \
                Response.of(200, await asyncio.to_thread(self.scrape), CONTENT_TYPE)
        return asgi_app(answer)


_NOT_ALLOWED = Response(405, (("Allow", "GET, HEAD"), ("Content-Length", "0")), b"")


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
