package qvjunit.tests;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.lang.management.ManagementFactory;
import java.util.ArrayList;
import java.util.List;
import javax.management.JMX;
import javax.management.ObjectName;
import org.junit.jupiter.api.Test;
import org.junit.platform.launcher.LauncherSession;
import org.junit.platform.launcher.core.LauncherFactory;
import qv.vantrel.quorvane.management.TransformerInfo;
import qv.vantrel.quorvane.management.TransformersMXBean;

/**
 * What the tests' own agent recorded of its two declared starts (junit-platform.properties,
 * keys .2 and .10): the options byte for byte, the order of the numbers, one start each however
 * many sessions the JVM opens, and its transformer in the MXBean under its own class name.
 */
class DeclaredAgentsTest {
    // As written in junit-platform.properties, unless the case overrides a key by a system property.
    private static final String FIRST = System.getProperty("qvjunit.expected.first", "first,path=/a=b,,caf\u00e9 ");
    private static final String SECOND = System.getProperty("qvjunit.expected.second", "second");

    @Test
    void optionsArriveByteForByteInTheOrderOfTheKeysNumbers() {
        assertEquals("2", System.getProperty("qvjunit.agent.starts"), "starts of the recording agent");
        assertEquals(FIRST, System.getProperty("qvjunit.agent.options.1"));
        assertEquals(SECOND, System.getProperty("qvjunit.agent.options.2"));
        assertTrue(System.getProperty("qvjunit.agent.instrumentation.1").startsWith("qv.vantrel.quorvane."),
                System.getProperty("qvjunit.agent.instrumentation.1"));
    }

    @Test
    void anotherSessionInTheSameJvmStartsNothingAgain() {
        String before = System.getProperty("qvjunit.agent.starts");
        LauncherSession session = LauncherFactory.openSession();
        session.close();
        assertEquals(before, System.getProperty("qvjunit.agent.starts"));
        assertEquals("2", before);
    }

    @Test
    void theAgentsTransformerShowsInTheMxBeanUnderItsOwnName() throws Exception {
        TransformersMXBean transformers = JMX.newMXBeanProxy(ManagementFactory.getPlatformMBeanServer(),
                new ObjectName(TransformersMXBean.OBJECT_NAME), TransformersMXBean.class);
        // Quorvane registers it within a second of the platform MBean server's making.
        List<String> names = new ArrayList<>();
        for (int tries = 0; tries < 100; tries++) {
            names.clear();
            try {
                for (TransformerInfo info : transformers.getTransformers()) {
                    names.add(info.getTransformer());
                }
            } catch (java.lang.reflect.UndeclaredThrowableException notYet) {
                Thread.sleep(100);
                continue;
            }
            if (names.stream().filter("qvjunit.agents.RecordingAgent$Unchanged"::equals).count() == 2) {
                return;
            }
            Thread.sleep(100);
        }
        fail("the MXBean lists " + names + ", not the recording agent's transformer of each start");
    }
}
