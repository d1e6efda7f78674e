"""The OpenTelemetry SDK for this directory's tests, installed once (the global
providers can be set once per process): spans to memory, metrics to an
in-memory reader and to the Prometheus endpoint's reader. The book's fixtures are
shared with its own tests."""

from __future__ import annotations

import pytest
from opentelemetry import metrics, trace
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import InMemoryMetricReader
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.sampling import ALWAYS_OFF, DEFAULT_ON, Sampler
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

from book.conftest import (clock, db_url, endpoint, gateway, loop,  # noqa: F401
                           make_book, postgres_server)
from quorvex_bo.fx.prometheus import PrometheusReader


class Switch(Sampler):
    """The SDK's default sampler until the folder is done, then nothing records (a
    shut-down provider still records spans, and warns of each)."""

    sampler: Sampler = DEFAULT_ON

    def should_sample(self, *args, **kwargs):
        return self.sampler.should_sample(*args, **kwargs)

    def get_description(self) -> str:
        return "Switch"


class Telemetry:
    def __init__(self) -> None:
        self.spans, self.reader, self.prometheus = (InMemorySpanExporter(),
                                                    InMemoryMetricReader(), PrometheusReader())
        self.sampler = Switch()
        provider = TracerProvider(sampler=self.sampler)
        provider.add_span_processor(SimpleSpanProcessor(self.spans))
        trace.set_tracer_provider(provider)
        metrics.set_meter_provider(MeterProvider(metric_readers=[self.reader,
                                                                 self.prometheus]))

    def points(self) -> dict[tuple[str, frozenset], float]:
        """Every data point now: a counter's or gauge's value, a histogram's count."""
        data = self.reader.get_metrics_data()
        return {(metric.name, frozenset(point.attributes.items())):
                getattr(point, "value", getattr(point, "count", None))
                for resource in (data.resource_metrics if data else ())
                for scope in resource.scope_metrics for metric in scope.metrics
                for point in metric.data.data_points}


@pytest.fixture(scope="package")
def installed():
    telemetry = Telemetry()
    yield telemetry
    # The providers stay (once per process), their output stops: later tests keep nothing.
    telemetry.sampler.sampler = ALWAYS_OFF
    trace.get_tracer_provider().shutdown()
    metrics.get_meter_provider().shutdown()


@pytest.fixture
def telemetry(installed: Telemetry) -> Telemetry:
    installed.spans.clear()
    return installed
