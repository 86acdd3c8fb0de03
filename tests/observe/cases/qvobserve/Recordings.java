package qvobserve;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import javax.management.JMException;
import javax.management.ObjectName;
import javax.management.openmbean.CompositeData;
import jdk.jfr.Recording;
import jdk.jfr.consumer.RecordedEvent;
import jdk.jfr.consumer.RecordingFile;

/** Recordings started in the case's own JVM and read back, and the Transformers MXBean. */
final class Recordings {
    static final String CLASS_TRANSFORM = "qv.vantrel.quorvane.ClassTransform";
    static final String STATISTICS = "qv.vantrel.quorvane.TransformerStatistics";
    static final String MXBEAN = "qv.vantrel.quorvane:type=Transformers";

    private Recordings() {
    }

    /**
     * A recording with the JDK's default settings, and with Quorvane's per-call event
     * enabled when asked, and any other events named.
     */
    static Recording start(boolean classTransforms, String... events) {
        Recording recording = new Recording();
        if (classTransforms) {
            recording.enable(CLASS_TRANSFORM);
        }
        for (String event : events) {
            recording.enable(event);
        }
        recording.start();
        return recording;
    }

    /**
     * Stops the recording and reads Quorvane's events (and the cases' own) back from its
     * file, in the order they began.
     */
    static List<RecordedEvent> stop(Recording recording, String file) throws IOException {
        recording.stop();
        Path path = Paths.get(file);
        recording.dump(path);
        recording.close();
        List<RecordedEvent> events = new ArrayList<>();
        for (RecordedEvent event : RecordingFile.readAllEvents(path)) {
            String type = event.getEventType().getName();
            if (type.startsWith("qv.vantrel.quorvane.") || type.startsWith("qvobserve.")) {
                events.add(event);
            }
        }
        events.sort(Comparator.comparing(RecordedEvent::getStartTime));
        return events;
    }

    /** The ClassTransform events of the fixture classes, each as one line of its fields. */
    static List<String> fixtureCalls(List<RecordedEvent> events) {
        List<String> calls = new ArrayList<>();
        for (RecordedEvent event : events) {
            if (event.getEventType().getName().equals(CLASS_TRANSFORM) && Observed.isFixture(event.getString("className"))) {
                Observed.check(event.getDuration().toNanos() > 0, "no duration: %s", event);
                calls.add(call(event));
            }
        }
        return calls;
    }

    static String call(RecordedEvent event) {
        return String.join(" ", event.getString("route"), simpleName(event.getString("transformer")),
                event.getString("cause"), event.getString("outcome"), event.getString("className"),
                event.getInt("bytesIn") + "->" + event.getInt("bytesOut"), String.valueOf(event.getString("failure")));
    }

    /** The last statistics event of each transformer (by its simple name): seen, changed, failures, time. */
    static Map<String, long[]> statistics(List<RecordedEvent> events) {
        Map<String, long[]> last = new LinkedHashMap<>();
        for (RecordedEvent event : events) {
            if (event.getEventType().getName().equals(STATISTICS)) {
                last.put(event.getString("route") + " " + simpleName(event.getString("transformer")),
                        new long[] {event.getLong("classesSeen"), event.getLong("classesChanged"),
                            event.getLong("failures"), event.getDuration("totalTime").toNanos()});
            }
        }
        return last;
    }

    /** The MXBean's entries, as statistics() gives them; null when it is not registered. */
    static Map<String, long[]> mxbean(String name) throws JMException {
        ObjectName objectName = new ObjectName(name);
        if (!ManagementFactory.getPlatformMBeanServer().isRegistered(objectName)) {
            return null;
        }
        CompositeData[] entries =
                (CompositeData[]) ManagementFactory.getPlatformMBeanServer().getAttribute(objectName, "Transformers");
        Map<String, long[]> totals = new LinkedHashMap<>();
        for (CompositeData entry : entries) {
            totals.put(entry.get("route") + " " + simpleName((String) entry.get("transformer")),
                    new long[] {(Long) entry.get("classesSeen"), (Long) entry.get("classesChanged"),
                        (Long) entry.get("failures"), (Long) entry.get("totalNanos")});
        }
        return totals;
    }

    /**
     * The MXBean's entries once it is registered, made to wait for: when nothing had made the
     * platform MBean server by the first transformer, the first look here makes it, and
     * Quorvane's watcher registers the MXBean within about a second. Null after 10 s.
     */
    static Map<String, long[]> awaitMxbean(String name) throws JMException, InterruptedException {
        long deadline = System.nanoTime() + 10_000_000_000L;
        Map<String, long[]> entries = mxbean(name);
        while (entries == null && System.nanoTime() < deadline) {
            Thread.sleep(50);
            entries = mxbean(name);
        }
        return entries;
    }

    // qvobserve.RecordCase$Changing -> RecordCase$Changing
    static String simpleName(String className) {
        return className == null ? "null" : className.substring(className.lastIndexOf('.') + 1);
    }
}
