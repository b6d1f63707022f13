// Built in when the chart library was missing at build time.
window.LightweightCharts = null;
